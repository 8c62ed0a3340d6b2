// Writes the seed corpus of the capture-filter fuzz target: filter_seeds DIR (which
// must exist). The seeds are the usual handshake and close segments on every
// source, and the odd frames of the test suite.
#include <cstdio>
#include <string>

#include "fuzz/filter_input.h"
#include "testlib/capture_builder.h"

using namespace testlib;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s dir\n", argv[0]);
    return 1;
  }
  Seg with_options = syn(1000);
  with_options.ip_opts = 8;
  with_options.tcp_opts = 12;
  Seg fragment = client_fin(1, 2);
  fragment.ip_hl_bytes = 12;
  const Seg segments[] = {syn(1000),     synack(9000, 1001), client_fin(1501, 12001, 100),
                          server_rst(5), with_options,       fragment};
  int n = 0;
  const auto write = [&](uint8_t source, uint16_t port, const std::vector<uint8_t>& frame) {
    write_bytes(std::string(argv[1]) + "/seed-" + std::to_string(n++),
                fuzz::filter_input(source, port, frame));
  };
  for (uint8_t source = 0; source < 4; ++source) {
    const Link link = (source & fuzz::FILTER_ETHERNET) ? Link::ETHERNET : Link::LOOPBACK;
    for (const Seg& s : segments) {
      std::vector<uint8_t> frame = tcp_frame(link, s);
      // The loopback family as a host of the other byte order stores it.
      if ((source & fuzz::FILTER_OTHER_ORDER) && link == Link::LOOPBACK)
        std::swap(frame[0], frame[3]), std::swap(frame[1], frame[2]);
      write(source, 80, frame);
    }
  }
  // Each kind of port set, on a segment of one of its ports.
  for (uint8_t set = fuzz::PORT_LIST; set <= fuzz::EVERY_PORT; ++set) {
    Seg s = syn(1000);
    s.dport = set == fuzz::PORT_LIST ? 8005 : 83;
    write(static_cast<uint8_t>(fuzz::FILTER_ETHERNET | set << fuzz::FILTER_PORT_SET_SHIFT), 80,
          tcp_frame(Link::ETHERNET, s));
  }
  write(fuzz::FILTER_ETHERNET, 80, ipv6_frame());
  write(fuzz::FILTER_ETHERNET, 80, vlan_frame(syn(1)));
  write(fuzz::FILTER_ETHERNET, 80, arp_frame());
  write(fuzz::FILTER_ETHERNET, 53, udp_frame(Link::ETHERNET, "10.0.0.1", "10.0.0.2", 5353, 53));
  return 0;
}
