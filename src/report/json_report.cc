#include "report/json_report.h"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "common/addr.h"
#include "common/settings.h"
#include "report/headline.h"
#include "report/readable.h"
#include "report/report_lines.h"
#include "stats/bucket_layout.h"
#include "stats/percentiles.h"
#include "stats/run_clock.h"
#include "stats/run_stats.h"
#include "track/addr_pool.h"

namespace {

// Keys stay in the order they are written: the object reads like the text report.
using Json = nlohmann::ordered_json;

double two_decimals(double v) { return std::round(v * 100.0) / 100.0; }

// RFC 3339 in UTC with microseconds; null for a time without a calendar date.
Json time_text(const Timeval& t) {
  const std::string text = utc_text(t);
  return text.empty() ? Json(nullptr) : Json(text);
}

Json summary(const RunTotals& t, const OpenCounts& open) {
  Json s;
  s["connections"] = t.nconns;
  s["avg_client_bytes"] = average(t.sum_client_bytes, t.nconns);
  s["avg_server_bytes"] = average(t.sum_server_bytes, t.nconns);
  s["avg_duration_ms"] = average(t.sum_duration, t.nconns);
  s["avg_rtt_ms"] = average(t.sum_rtt, t.nconns);
  s["syns"] = t.total_syns;
  s["duplicate_syns"] = t.dup_syns;
  s["resets"] = t.resets;
  s["refused"] = t.refused;
  s["syns_to_establish"] = t.sum_syns;
  s["avg_syns_to_establish"] =
      t.nconns == 0 ? Json(nullptr)
                    : Json(static_cast<double>(t.sum_syns) / static_cast<double>(t.nconns));
  s["dropped_by_server"] = open.never_completed;
  s["incomplete_syns"] = open.incomplete_syns;
  s["in_progress"] = open.in_progress;
  s["maybe_discarded"] = open.maybe_discarded;
  s["closing"] = open.closing;
  return s;
}

Json syn_distribution(const Monitor& m) {
  Json d = Json::array();
  for (const auto& [nsyns, conns] : m.syn_dist)
    d.push_back(Json{{"syns", nsyns}, {"connections", conns}});
  return d;
}

const char* ordering_name(SortMode mode) {
  switch (mode) {
    case BY_THROUGHPUT:
      return "throughput";
    case BY_CLIENT_BYTES:
      return "client_bytes";
    case BY_SERVER_BYTES:
      return "server_bytes";
    case BY_DURATION:
    default:
      return "duration";
  }
}

const char* ordering_unit(SortMode mode) {
  switch (mode) {
    case BY_THROUGHPUT:
      return "KB/s";
    case BY_CLIENT_BYTES:
    case BY_SERVER_BYTES:
      return "KB";
    case BY_DURATION:
    default:
      return "ms";
  }
}

// One row of the table, with every key in every row: null where the text table
// shows "-" (no connections in the row; no round trips while estimation is off).
Json table_row(const Settings& s, const Monitor& m, size_t i, bool overflow, bool rtt) {
  const Bucket& b = m.buckets[i];
  // The edges as the text table computes them.
  const BucketEdges edges = bucket_edges(s, i);
  Json row;
  row["lo"] = edges.lo;
  row["hi"] = overflow ? Json(nullptr) : Json(edges.hi);
  const int64_t k = b.count;
  row["connections"] = k;
  row["percent"] =
      two_decimals(static_cast<double>(k) * 100.0 / static_cast<double>(m.totals.nconns));
  const bool any = k != 0;
  row["avg_client_bytes"] = any ? Json(b.client_bytes / k) : Json(nullptr);
  row["avg_server_bytes"] = any ? Json(b.server_bytes / k) : Json(nullptr);
  row["avg_duration_ms"] = any ? Json(b.duration / k) : Json(nullptr);
  row["avg_rtt_ms"] = any && rtt ? Json(static_cast<long long>(b.rtt) / k) : Json(nullptr);
  row["avg_throughput_kbps"] =
      any ? Json(two_decimals(static_cast<double>(b.throughput) / static_cast<double>(k)))
          : Json(nullptr);
  return row;
}

Json table(const Settings& s, const Monitor& m) {
  Json t;
  t["ordering"] = ordering_name(s.sort_mode);
  t["unit"] = ordering_unit(s.sort_mode);
  t["bucket_size"] = s.bucket_size;
  t["buckets"] = s.nbuckets;
  // Estimation may have been switched on during the run: what counts is now.
  const bool rtt = m.rtt_enabled;
  t["rtt_estimation"] = rtt;
  Json rows = Json::array();
  // Like the text table, which prints "No connections" instead of its rows.
  if (m.totals.nconns != 0)
    for (size_t i = 0; i < m.buckets.size(); ++i)
      rows.push_back(table_row(s, m, i, i + 1 == m.buckets.size(), rtt));
  t["rows"] = std::move(rows);
  return t;
}

// The -D listing: the connections of the chosen range, by the addresses of their
// first FIN.
Json listing(const Settings& s, const Monitor& m) {
  if (s.filter_from == -1) return nullptr;
  Json l;
  l["from"] = s.filter_from;
  l["to"] = s.filter_to == -1 ? Json(nullptr) : Json(s.filter_to);
  Json conns = Json::array();
  for (const FilterEntry& e : m.filters)
    conns.push_back(Json{{"fin_from", addr_text(m.pool, e.addr_a, e.family).text},
                         {"fin_to", addr_text(m.pool, e.addr_b, e.family).text},
                         {"client_port", e.client_port}});
  l["connections"] = std::move(conns);
  return l;
}

Json percentiles_of(const LogHistogram& h) {
  Json p;
  p["count"] = h.count();
  const bool any = h.count() != 0;
  const struct {
    const char* key;
    double q;
  } points[] = {{"p50", 0.5}, {"p90", 0.9}, {"p99", 0.99}, {"p999", 0.999}};
  for (const auto& point : points) {
    if (!any) {
      p[point.key] = nullptr;
      continue;
    }
    // Twelve significant digits, without the last bits' noise; whole numbers as
    // integers, like the records they summarise.
    const double v = reported_quantile(h, point.q);
    if (v == std::floor(v))
      p[point.key] = static_cast<uint64_t>(v);
    else
      p[point.key] = v;
  }
  p["max"] = any ? Json(h.max()) : Json(nullptr);
  return p;
}

Json percentiles(const Monitor& m) {
  const RecordPercentiles& p = m.percentiles;
  Json all;
  all["duration_us"] = percentiles_of(p.duration_us);
  all["handshake_us"] = percentiles_of(p.handshake_us);
  all["fin_to_fin_us"] = percentiles_of(p.fin_to_fin_us);
  all["client_bytes"] = percentiles_of(p.client_bytes);
  all["server_bytes"] = percentiles_of(p.server_bytes);
  return all;
}

// The run's time span: every port's report carries it, and so does the document.
void put_span(const Run& run, Json& j) {
  const Settings& s = run.settings;
  const RunClock& clock = run.clock;
  // A file without packets has no times (the text report shows the epoch).
  const bool has_time = !s.reading_file() || clock.first_packet_seen;
  j["seconds"] = run_length_ms(clock, run.output.out, s.debug) / 1000.0;
  j["start"] = has_time ? time_text(clock.start_time) : Json(nullptr);
  j["end"] = has_time ? time_text(clock.end_time) : Json(nullptr);
  j["start_us"] = has_time ? Json(usecs_of(clock.start_time)) : Json(nullptr);
  j["end_us"] = has_time ? Json(usecs_of(clock.end_time)) : Json(nullptr);
}

Json port_report(const Run& run, const Monitor& m) {
  const Settings& s = run.settings;
  const OpenCounts open = count_open_connections(m);
  Json report;
  report["version"] = JSON_REPORT_VERSION;
  report["port"] = m.port;
  put_span(run, report);
  report["summary"] = summary(m.totals, open);
  report["syn_distribution"] = syn_distribution(m);
  report["table"] = table(s, m);
  report["listing"] = listing(s, m);
  report["percentiles"] = percentiles(m);
  return report;
}

// The run's figures summed over its ports.
Json run_totals(const Run& run) {
  RunTotals t;
  OpenCounts open;
  for (const std::unique_ptr<Monitor>& owned : run.monitors) {
    const Monitor& m = *owned;
    t.total_syns += m.totals.total_syns;
    t.dup_syns += m.totals.dup_syns;
    t.resets += m.totals.resets;
    t.refused += m.totals.refused;
    t.nconns += m.totals.nconns;
    t.sum_client_bytes += m.totals.sum_client_bytes;
    t.sum_server_bytes += m.totals.sum_server_bytes;
    t.sum_duration += m.totals.sum_duration;
    t.sum_rtt += m.totals.sum_rtt;
    t.sum_syns += m.totals.sum_syns;
    const OpenCounts o = count_open_connections(m);
    open.never_completed += o.never_completed;
    open.incomplete_syns += o.incomplete_syns;
    open.in_progress += o.in_progress;
    open.closing += o.closing;
    open.maybe_discarded += o.maybe_discarded;
  }
  // The summary's keys over every port, after how many ports there were.
  Json j;
  j["ports"] = run.monitors.size();
  const Json figures = summary(t, open);
  for (auto it = figures.begin(); it != figures.end(); ++it) j[it.key()] = it.value();
  return j;
}

std::string text_of(const Json& j) {
  // Replacement characters for bytes that are not UTF-8 rather than an exception:
  // no text here comes from the packets, but the report must never fail.
  return j.dump(2, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

void write_json_report(const Run& run, const Monitor& m, FILE* out) {
  std::fprintf(out, "%s\n", text_of(port_report(run, m)).c_str());
}

void write_json_report(const Run& run, FILE* out) {
  Json report;
  report["version"] = JSON_REPORT_VERSION;
  put_span(run, report);
  Json ports = Json::array();
  for (const Monitor* m : report_order(run)) ports.push_back(port_report(run, *m));
  report["ports"] = std::move(ports);
  report["totals"] = run_totals(run);
  if (run.settings.any_port) {
    report["unwatched"] = Json{{"ports", run.unwatched_port_count}, {"syns", run.unwatched_syns}};
  } else {
    report["unwatched"] = nullptr;
  }
  std::fprintf(out, "%s\n", text_of(report).c_str());
}
