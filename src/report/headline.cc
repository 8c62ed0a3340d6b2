#include "report/headline.h"

#include <cstdio>
#include <cstdlib>

Headline headline_of(const Monitor& m) {
  const OpenCounts open = count_open_connections(m);
  Headline h;
  h.port = m.port;
  h.completed = m.totals.nconns;
  h.refused = m.totals.refused;
  h.reset = m.totals.resets - m.totals.refused;
  h.unanswered = open.never_completed;
  h.open = open.in_progress;
  h.syns = m.totals.total_syns;
  h.repeated_syns = m.totals.dup_syns;
  h.handshake_us = &m.percentiles.handshake_us;
  h.duration_us = &m.percentiles.duration_us;
  h.client_bytes = &m.percentiles.client_bytes;
  h.server_bytes = &m.percentiles.server_bytes;
  return h;
}

double reported_quantile(const LogHistogram& h, double q) {
  char text[32];
  std::snprintf(text, sizeof text, "%.12g", h.quantile(q));
  return std::strtod(text, nullptr);
}

bool has_span(const Run& run) {
  return !run.settings.reading_file() || run.clock.first_packet_seen;
}

double span_us(const Run& run) {
  return static_cast<double>(usecs_between(run.clock.start_time, run.clock.end_time));
}

std::string source_text(const Run& run) {
  const Settings& s = run.settings;
  if (!s.read_list.empty())
    return "the files named in " + (s.read_list == "-" ? std::string("standard input") : s.read_list);
  if (!s.read_file.empty()) return s.read_file == "-" ? "standard input" : s.read_file;
  if (!run.interface_name.empty()) return "interface " + run.interface_name;
  if (!s.interface.empty()) return "interface " + s.interface;
  return "the default interface";
}
