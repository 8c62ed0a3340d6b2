// The run's figures in Prometheus's text exposition format (version 0.0.4), for the
// /metrics endpoint and --metrics-file. doc/portsift.1 (METRICS) describes each.
#pragma once

#include <cstdint>
#include <string>

#include "stats/run.h"

// What libpcap counted of a live capture (pcap_stats); none in a file run.
struct CaptureFigures {
  bool known = false;
  uint64_t received = 0;
  uint64_t dropped = 0;     // no room in the capture buffer
  uint64_t if_dropped = 0;  // dropped by the interface or its driver
};

// The whole exposition: the run's own metrics, then every watched port's, ports in
// ascending order. Names carry their base unit and counters end in _total; the only
// labels are the port, an outcome and a state.
std::string metrics_text(const Run& run, const CaptureFigures& capture, const char* version);

// A number of microseconds as seconds, exactly: 2500000 is "2.5", 10 is "0.00001".
std::string micros_as_seconds(uint64_t us);
