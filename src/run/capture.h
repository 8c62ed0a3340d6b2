// Capture set-up and the end of a run: the packet source, the capture filter, the
// signals that end a live run, write mode, and the report that ends capture mode.
#pragma once

#include <pcap/pcap.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "run/fast_read.h"
#include "track/decode.h"

struct CaptureState {
  pcap_t* pcap = nullptr;
  pcap_dumper_t* dumper = nullptr;  // write mode only
  LinkInfo link;                    // the source's framing
  bool offline = false;
  // The one value shared with the signal handler; it only ever grows from 0.
  volatile std::sig_atomic_t stop_requested = 0;
  unsigned int trace_packet_number = 0;  // the running number of the packet trace
  std::string read_error;  // libpcap's text when a savefile could not be read to its end
  // The table could not grow: the run ended there, with this many records in it.
  bool out_of_memory = false;
  size_t conns_at_out_of_memory = 0;
};

extern CaptureState g_capture;

// Finds the addresses, opens the source, installs the filter and runs the loop;
// ends the process.
[[noreturn]] void start_capture();

// A capture-mode run over an already opened savefile: installs the filter, checks
// the link type, hands every packet to the packet loop and writes the report.
// Takes over the handle and closes it. Returns the exit status: 0 after the report,
// 1 after a set-up failure, whose message has been printed. `interface` names the
// interface whose network mask the filter uses (-i), or is null.
// `fast`, when given, is where the fast reader finds the same savefile; without it
// the run's -r file is, unless that is standard input.
int run_file_capture(pcap_t* pcap, const char* interface, const FastReadSource* fast = nullptr);

// The capture-filter expression: the monitored port's SYN, FIN and RST segments,
// narrowed by the trailing command-line words.
std::string filter_expression(uint16_t port, const std::vector<std::string>& filter_words);

// The capture-filter expression of --decode-all on a link of type `dlt`. What it
// passes, as libpcap's compiled program decides it (a byte it must read that lies
// past the captured length rejects the packet):
//  - every packet the classic filter_expression passes, narrowed by the same words;
//  - IPv6 packets carrying TCP to or from the port with SYN, FIN or RST (0x07) set in
//    its flags (byte 13 of the TCP header), the port as the 16-bit number at byte 0
//    or at byte 2 of the TCP header, narrowed by the words. The TCP header follows
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
// without optimisation the program stays well inside the kernel's 4096
// instructions on every link type (decode_all_filter_test measures it).
std::string decode_all_filter_expression(uint16_t port,
                                         const std::vector<std::string>& filter_words, int dlt);

// When a link type was refused that --decode-all reads, and standard error is a
// terminal, says so: a person learns of the option, a script sees the refusal
// exactly as it always was.
void print_link_hint(FILE* err, bool err_is_terminal, int dlt);

// After a file run in which no packet passed the capture filter although the file
// held packets (`file_had_packets`), and only when standard error is a terminal: one
// line that names --decode-all, since the usual cause is traffic in a framing only
// that option reads (IPv6, VLAN tags). Scripts see the run exactly as it always was.
void print_no_match_hint(FILE* err, bool err_is_terminal, bool file_had_packets);

// Compiles and installs the filter; 0 on success, -1 after printing the failure.
int setup_filter(const char* interface, const std::vector<std::string>& filter_words);

// SIGINT and SIGALRM: asks the loop to stop. Only async-signal-safe work here; the
// loop produces the report, or flushes and closes the savefile.
void on_signal(int signo);

// Prints the capture statistics (a live capture has them) and closes the capture.
void end_capture();
