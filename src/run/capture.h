// Capture set-up and run loop: the packet source, the capture filter, the signals
// that end a live run, and the write mode that copies packets to a savefile.
#pragma once

#include <pcap/pcap.h>

#include <csignal>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "common/time.h"

struct CaptureState {
  pcap_t* pcap = nullptr;
  pcap_dumper_t* dumper = nullptr;  // write mode only
  int link_type = -1;
  bool offline = false;
  // A savefile written on a host of the other byte order: what the capturing host
  // stored in its own order (the loopback link's address family) is swapped here.
  bool swapped = false;
  // The one value shared with the signal handler; it only ever grows from 0.
  volatile std::sig_atomic_t stop_requested = 0;
  Timeval start_time;    // live: right after the alarm is set; file: first packet
  Timeval end_time;      // file: the last packet delivered; live: when the report starts
  Timeval window_start;  // packets not newer than this (in whole seconds) are dropped
  bool first_packet_seen = false;
  // Packets delivered to the handler. 64 bits wide so that a capture of more than
  // 2^32 packets never wraps back to 0, which would restart the time window.
  uint64_t packet_count = 0;
  unsigned int trace_packet_number = 0;
  std::string read_error;  // libpcap's text when a savefile could not be read to its end
};

extern CaptureState g_capture;

// This host's IPv4 addresses (network byte order), collected only when the
// interface is chosen automatically.
using LocalAddrs = std::set<uint32_t>;
extern LocalAddrs g_local_addrs;

// Finds the addresses, opens the source, installs the filter and runs the loop;
// ends the process.
[[noreturn]] void start_capture();

// A capture-mode run over an already opened savefile: installs the filter, checks
// the link type, hands every packet to the packet handler and writes the report.
// Takes over the handle and closes it. Returns the exit status: 0 after the report,
// 1 after a set-up failure, whose message has been printed. `interface` names the
// interface whose network mask the filter uses (-i), or is null.
int run_file_capture(pcap_t* pcap, const char* interface);

// The capture-filter expression: the monitored port's SYN, FIN and RST segments,
// narrowed by the trailing command-line words.
std::string filter_expression(uint16_t port, const std::vector<std::string>& filter_words);

// Compiles and installs the filter; 0 on success, -1 after printing the failure.
int setup_filter(const char* interface, const std::vector<std::string>& filter_words);

// SIGINT and SIGALRM: asks the loop to stop. Only async-signal-safe work here; the
// loop produces the report, or flushes and closes the savefile.
void on_signal(int signo);

// Prints the capture statistics and closes the capture. In write mode it also
// closes the savefile and ends the process.
void end_capture();
