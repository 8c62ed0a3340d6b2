// The capture filter: its text, a pure function of the ports and the trailing
// command-line words, and its installation on a source.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/settings.h"
#include "track/port_set.h"

// The capture-filter expression: the watched ports' SYN, FIN and RST segments,
// narrowed by the trailing command-line words.
std::string filter_expression(const PortSet& ports, const std::vector<std::string>& filter_words);
inline std::string filter_expression(uint16_t port, const std::vector<std::string>& filter_words) {
  return filter_expression(PortSet::of({port}), filter_words);
}

// The capture-filter expression of --decode-all on a link of type `dlt`. What it
// passes, as libpcap's compiled program decides it (a byte it must read that lies
// past the captured length rejects the packet):
//  - every packet the classic filter_expression passes, narrowed by the same words;
//  - IPv6 packets carrying TCP to or from a watched port with SYN, FIN or RST (0x07)
//    set in its flags (byte 13 of the TCP header), the port as the 16-bit number at
//    byte 0 or at byte 2 of the TCP header (any port for every port), narrowed by
//    the words. The TCP header follows
//    the fixed 40-byte header directly or behind a chain of up to
//    IPV6_MAX_OPTION_HEADERS Hop-by-Hop (0), Routing (43) or Destination Options
//    (60) headers in any order (each one's next header in its byte 0, its length in
//    byte 1, (length + 1) * 8 bytes), then perhaps a fragment header (44, 8 bytes)
//    whose next header is 6 and whose offset (bytes 2-3 & 0xfff8) is 0; a later
//    fragment and any other chain are not passed. The IPv6 header is where
//    libpcap's "ip6" finds it in a capture file: after an
//    Ethernet header of type 0x86dd, a Linux cooked header of protocol 0x86dd (v1:
//    at byte 14 of 16; v2: at byte 0 of 20), a BSD loopback header whose 4-byte
//    family, in the capturing host's byte order, is 24, 28 or 30 (the IPv6 of the
//    BSDs and macOS), a raw IP packet of version 6 (DLT_RAW), or any DLT_IPV6 packet;
//  - on Ethernet only, the same packets behind one VLAN tag, or two, each a type
//    0x8100, 0x88a8 or 0x9100 followed by 2 bytes of tag control: the words apply
//    to the packet inside the tags.
// The decoder reads exactly these framings and chains (see decode_frame). Compiled
// without optimisation the program for one port stays well inside the kernel's 4096
// instructions on every link type (decode_all_filter_test measures it); each more
// run of ports adds to it, and a program the kernel would refuse is run in user
// space (install_filter).
std::string decode_all_filter_expression(const PortSet& ports,
                                         const std::vector<std::string>& filter_words, int dlt);
inline std::string decode_all_filter_expression(uint16_t port,
                                                const std::vector<std::string>& filter_words,
                                                int dlt) {
  return decode_all_filter_expression(PortSet::of({port}), filter_words, dlt);
}

// The ports the settings watch: -p's, or every port with -p any.
PortSet watched_ports(const Settings& s);

// The text a run compiles for a source of link type `dlt`: the classic expression
// or, with --decode-all, that of decode_all_filter_expression.
std::string capture_filter_text(const Settings& s, int dlt);

// A compiled program, freed with its owner.
struct FilterProgram {
  bpf_program program{};
  bool compiled = false;
  FilterProgram() = default;
  FilterProgram(const FilterProgram&) = delete;
  FilterProgram& operator=(const FilterProgram&) = delete;
  ~FilterProgram() {
    if (compiled) pcap_freecode(&program);
  }
};

// Compiles `expression` for `pcap` with the network mask of `interface` (none: a zero
// mask) into *program (the caller frees it with pcap_freecode); 0 on success, -1
// after printing the failure on `err`. With -d the expression is traced on `out`
// first. A capture set's files each run their own program on the records the run
// merges.
int compile_filter(pcap_t* pcap, const char* interface, const std::string& expression, FILE* out,
                   FILE* err, int debug, struct bpf_program* program,
                   bpf_u_int32* mask_used = nullptr);

// Compiles `expression` for `pcap` with the network mask of `interface` (none: a zero
// mask) and installs it; 0 on success, -1 after printing the failure on `err`. With
// -d the expression is traced on `out` first. A program longer than the kernel takes
// (4096 instructions: a long list of ports) is not handed to it: with
// `kernel_expression` given (a live capture), the kernel runs that broader one and
// *user_filter receives the program, which the packet loop runs on what the kernel
// passes; savefiles are filtered in user space by libpcap anyway.
int install_filter(pcap_t* pcap, const char* interface, const std::string& expression, FILE* out,
                   FILE* err, int debug, const std::string* kernel_expression = nullptr,
                   FilterProgram* user_filter = nullptr);
