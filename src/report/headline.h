// The figures a person reads first about a port, in one place: the summary prints
// them, the page shows them as cards, and both read them from here.
#pragma once

#include <cstdint>
#include <string>

#include "common/log_histogram.h"
#include "stats/monitor.h"
#include "stats/run.h"

struct Headline {
  uint16_t port = 0;
  int64_t completed = 0;     // counted at their first FIN (within the byte limits)
  uint64_t refused = 0;      // the server's RST answered a SYN
  uint64_t reset = 0;        // an RST before any FIN, refusals apart
  uint64_t unanswered = 0;   // no SYN-ACK by the end of the run
  uint64_t open = 0;         // established or closing at the end of the run
  uint64_t syns = 0;
  uint64_t repeated_syns = 0;
  // Of the completed connections.
  const LogHistogram* handshake_us = nullptr;
  const LogHistogram* duration_us = nullptr;
  const LogHistogram* client_bytes = nullptr;
  const LogHistogram* server_bytes = nullptr;
};

Headline headline_of(const Monitor& m);

// A histogram's q-quantile, rounded as the JSON report rounds it (twelve
// significant digits), so that the three outputs print the same number.
double reported_quantile(const LogHistogram& h, double q);

// Whether the run has a time span: a file run without packets has none.
bool has_span(const Run& run);
// Its microseconds from the first packet to the last (the classic report's length
// counts from the start of the time window instead).
double span_us(const Run& run);

// What the run read: the capture file's name, "the files named in names.txt",
// "interface eth0".
std::string source_text(const Run& run);
