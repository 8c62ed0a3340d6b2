// Capture set-up and the end of a run: the packet source, the capture filter, the
// signals that end a live run, write mode, and the report that ends capture mode.
#pragma once

#include <pcap/pcap.h>

#include <csignal>
#include <cstdint>
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

// Compiles and installs the filter; 0 on success, -1 after printing the failure.
int setup_filter(const char* interface, const std::vector<std::string>& filter_words);

// SIGINT and SIGALRM: asks the loop to stop. Only async-signal-safe work here; the
// loop produces the report, or flushes and closes the savefile.
void on_signal(int signo);

// Prints the capture statistics (a live capture has them) and closes the capture.
void end_capture();
