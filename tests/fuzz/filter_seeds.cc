// Writes the seed corpus of the capture-filter fuzz target: filter_seeds DIR (which
// must exist). The seeds are the usual handshake and close segments on every link
// type in either byte order, for both expressions; IPv6 behind the extension headers
// --decode-all reads and VLAN tags; and the odd frames of the test suite.
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/filter_input.h"
#include "testlib/capture_builder.h"

using namespace testlib;

namespace {

// How the test builder frames a segment on each link type of FILTER_LINK_TYPES.
Link link_of(int dlt) {
  switch (dlt) {
    case DLT_EN10MB:
      return Link::ETHERNET;
    case DLT_NULL:
      return Link::LOOPBACK;
    case DLT_LINUX_SLL:
      return Link::COOKED;
    case DLT_LINUX_SLL2:
      return Link::COOKED2;
    default:
      return Link::RAW;
  }
}

}  // namespace

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
  const std::vector<Ip6Header> chains[] = {
      {},
      {fragment_header(0)},
      {option_header(0, 1), option_header(60), fragment_header(0)},
      {option_header(43, 2)},
      {option_header(0), option_header(43), option_header(60)},
  };
  int n = 0;
  const auto write = [&](uint8_t link, uint8_t source, uint16_t port,
                         const std::vector<uint8_t>& frame) {
    write_bytes(std::string(argv[1]) + "/seed-" + std::to_string(n++),
                fuzz::filter_input(link, source, port, frame));
  };
  for (uint8_t link = 0; link < fuzz::FILTER_LINK_COUNT; ++link) {
    const int dlt = fuzz::FILTER_LINK_TYPES[link];
    for (uint8_t source = 0; source < 4; ++source) {
      const bool other_order = (source & fuzz::FILTER_OTHER_ORDER) != 0;
      const bool decode_all = (source & fuzz::FILTER_DECODE_ALL) != 0;
      if (!decode_all && dlt != DLT_EN10MB && dlt != DLT_NULL) continue;
      const auto put = [&](std::vector<uint8_t> frame, bool v6) {
        // The loopback family as the capturing host stored it: AF_INET, or the
        // FreeBSD AF_INET6.
        if (dlt == DLT_NULL) {
          uint32_t family = v6 ? 28 : 2;
          if (other_order) family = __builtin_bswap32(family);
          std::memcpy(frame.data(), &family, 4);
        }
        write(link, source, 80, frame);
      };
      for (const Seg& s : segments) {
        if (dlt != DLT_IPV6) put(tcp_frame(link_of(dlt), s), false);
        if (!decode_all || dlt == DLT_IPV4) continue;
        for (const auto& chain : chains) {
          Seg v6 = as_ipv6(s);
          v6.ip6_headers = chain;
          put(tcp_frame(link_of(dlt), v6), true);
        }
      }
    }
  }
  // VLAN tags: 802.1Q, 802.1ad over 802.1Q, QinQ; and one tag too many.
  for (const std::vector<uint16_t>& tags :
       {std::vector<uint16_t>{0x8100}, {0x88a8, 0x8100}, {0x9100, 0x9100}, {0x8100, 0x8100, 0x8100}})
    for (bool v6 : {false, true}) {
      Seg s = v6 ? as_ipv6(syn(1)) : syn(1);
      s.vlan_tags = tags;
      write(0, fuzz::FILTER_DECODE_ALL, 80, tcp_frame(Link::ETHERNET, s));
    }
  // Each kind of port set, on a segment of one of its ports.
  for (uint8_t set = fuzz::PORT_LIST; set <= fuzz::EVERY_PORT; ++set)
    for (uint8_t expression : {uint8_t{0}, fuzz::FILTER_DECODE_ALL}) {
      Seg s = syn(1000);
      s.dport = set == fuzz::PORT_LIST ? 8005 : 83;
      const uint8_t source = static_cast<uint8_t>(expression | set << fuzz::FILTER_PORT_SET_SHIFT);
      write(0, source, 80, tcp_frame(Link::ETHERNET, s));
      write(0, source, 80, tcp_frame(Link::ETHERNET, as_ipv6(s)));
    }
  write(0, 0, 80, ipv6_frame());
  write(0, 0, 80, vlan_frame(syn(1)));
  write(0, 0, 80, arp_frame());
  write(0, 0, 53, udp_frame(Link::ETHERNET, "10.0.0.1", "10.0.0.2", 5353, 53));
  return 0;
}
