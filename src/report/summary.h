// The end-of-run report: the records still in the connection table classified, the
// summary, then the distribution table or one of the variants.
#pragma once

#include <cstdint>
#include <cstdio>

// What the records still in the table say at the end of the run.
struct OpenCounts {
  uint64_t never_completed = 0;  // still waiting for a SYN-ACK
  uint64_t incomplete_syns = 0;  // their SYNs
  uint64_t in_progress = 0;      // established or closing
  uint64_t closing = 0;
  uint64_t maybe_discarded = 0;  // in progress with 4 or more SYN-ACKs
};

OpenCounts count_open_connections();

// The whole report of a capture run, after the run has ended (its clock stopped):
// the summary and the table, or the variant -V asks for. Writes to `out` and returns;
// it can be written again.
void write_report(FILE* out);

// Averages over the counted connections: 0 when nothing was counted.
int64_t average(int64_t sum, int64_t count);
