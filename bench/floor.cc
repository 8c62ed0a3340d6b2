// floor: what every libpcap-based analyser of a savefile pays at least. It opens the
// file, installs portsift's own capture filter compiled the same way (optimisation
// off, netmask 0), and runs the loop with a callback that does nothing.
//
//   floor FILE [PORTS [--decode-all]]  (PORTS as portsift's -p takes them: 80, 80-89,
//                                      any; default 80. --decode-all: the wider filter
//                                      of that option, for the file's link type)
#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "run/capture_filter.h"

namespace {

void ignore_packet(u_char*, const struct pcap_pkthdr*, const u_char*) {}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "--decode-all") != 0)) {
    std::fputs("usage: floor FILE [PORT [--decode-all]]\n", stderr);
    return 2;
  }
  // One port, a range A-B, or every port.
  const std::string word = argc >= 3 ? argv[2] : "80";
  PortSet ports = PortSet::every_port();
  if (word != "any") {
    const size_t dash = word.find('-');
    const int lo = std::atoi(word.c_str());
    const int hi = dash == std::string::npos ? lo : std::atoi(word.c_str() + dash + 1);
    std::vector<uint16_t> list;
    for (int p = lo; p <= hi; ++p) list.push_back(static_cast<uint16_t>(p));
    ports = PortSet::of(list);
  }
  char errbuf[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(argv[1], errbuf);
  if (p == nullptr) {
    std::fprintf(stderr, "floor: %s\n", errbuf);
    return 1;
  }
  const std::string expr =
      argc == 4 ? decode_all_filter_expression(ports, {}, pcap_datalink(p))
                : filter_expression(ports, {});
  struct bpf_program program;
  if (pcap_compile(p, &program, expr.c_str(), 0, 0) != 0 || pcap_setfilter(p, &program) != 0) {
    std::fprintf(stderr, "floor: %s\n", pcap_geterr(p));
    return 1;
  }
  pcap_freecode(&program);
  if (pcap_loop(p, -1, ignore_packet, nullptr) == PCAP_ERROR) {
    std::fprintf(stderr, "floor: %s\n", pcap_geterr(p));
    return 1;
  }
  pcap_close(p);
  return 0;
}
