// Final report: closes the capture, classifies what is left in the connection
// table and prints the summary; the distribution table or a variant follows.
#pragma once

#include <cstdint>

// What the records still in the table say at the end of the run.
struct OpenCounts {
  uint64_t never_completed = 0;  // still waiting for a SYN-ACK
  uint64_t incomplete_syns = 0;  // their SYNs
  uint64_t in_progress = 0;      // established or closing
  uint64_t closing = 0;
  uint64_t maybe_discarded = 0;  // in progress with 4 or more SYN-ACKs
};

OpenCounts count_open_connections();

// The whole end of a capture run: capture statistics, summary, then the table or a
// variant. Returns when everything is printed.
void write_report();

// write_report(), then exit status 0.
[[noreturn]] void print_report();

// The SYN distribution line, without its line end.
void print_syn_distribution();

// The SYNs the counted connections needed, and their average when there are any.
void print_syns_taken();

// Averages over the counted connections: 0 when nothing was counted.
int64_t average(int64_t sum, int64_t count);
