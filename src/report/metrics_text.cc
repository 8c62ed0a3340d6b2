#include "report/metrics_text.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "stats/monitor.h"
#include "stats/run_stats.h"

namespace {

// Appends printf-formatted text.
void put(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void put(std::string& out, const char* fmt, ...) {
  char line[512];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  if (n > 0) out.append(line, std::min<size_t>(static_cast<size_t>(n), sizeof line - 1));
}

void family(std::string& out, const char* name, const char* type, const char* help) {
  static constexpr char HELP_FMT[] = "# HELP %s %s\n";
  static constexpr char TYPE_FMT[] = "# TYPE %s %s\n";
  put(out, HELP_FMT, name, help);
  put(out, TYPE_FMT, name, type);
}

constexpr char PORT_VALUE_FMT[] = "%s{port=\"%u\"} %" PRIu64 "\n";

// One value per port, for every port.
template <typename Value>
void per_port(std::string& out, const std::vector<const Monitor*>& ports, const char* name,
              const char* type, const char* help, Value value) {
  family(out, name, type, help);
  for (const Monitor* m : ports)
    put(out, PORT_VALUE_FMT, name, static_cast<unsigned>(m->port), value(*m));
}

// A histogram of microseconds shown in seconds, or of bytes.
void histogram(std::string& out, const std::vector<const Monitor*>& ports, const char* name,
               const char* help, bool micros,
               const ExpositionHistogram& (*of)(const Monitor&)) {
  family(out, name, "histogram", help);
  static constexpr char BUCKET_FMT[] = "%s_bucket{port=\"%u\",le=\"%s\"} %" PRIu64 "\n";
  static constexpr char SUM_FMT[] = "%s_sum{port=\"%u\"} %s\n";
  static constexpr char COUNT_FMT[] = "%s_count{port=\"%u\"} %" PRIu64 "\n";
  for (const Monitor* m : ports) {
    const ExpositionHistogram& h = of(*m);
    const unsigned port = m->port;
    uint64_t below = 0;
    for (size_t i = 0; i < h.bounds().size; ++i) {
      below += h.in_bucket(i);
      const uint64_t bound = h.bounds().bounds[i];
      const std::string le = micros ? micros_as_seconds(bound) : std::to_string(bound);
      put(out, BUCKET_FMT, name, port, le.c_str(), below);
    }
    put(out, BUCKET_FMT, name, port, "+Inf", h.count());
    const std::string sum = micros ? micros_as_seconds(h.sum()) : std::to_string(h.sum());
    put(out, SUM_FMT, name, port, sum.c_str());
    put(out, COUNT_FMT, name, port, h.count());
  }
}

}  // namespace

std::string micros_as_seconds(uint64_t us) {
  std::string text = std::to_string(us / 1000000);
  uint64_t fraction = us % 1000000;
  if (fraction == 0) return text;
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06" PRIu64, fraction);
  std::string tail = digits;
  tail.erase(tail.find_last_not_of('0') + 1);
  return text + "." + tail;
}

std::string metrics_text(const Run& run, const CaptureFigures& capture, const char* version) {
  std::string out;
  out.reserve(4096 + run.monitors.size() * 6000);

  family(out, "portsift_build_info", "gauge", "The portsift build that serves these metrics.");
  static constexpr char BUILD_FMT[] = "portsift_build_info{version=\"%s\"} 1\n";
  put(out, BUILD_FMT, version);
  family(out, "portsift_start_time_seconds", "gauge",
         "When the run started (a live capture), or its first packet (a file), in seconds "
         "since the epoch.");
  static constexpr char START_FMT[] = "portsift_start_time_seconds %" PRId64 ".%06" PRId64 "\n";
  put(out, START_FMT, run.clock.start_time.sec, run.clock.start_time.usec);
  family(out, "portsift_packets_total", "counter",
         "Packets the capture filter passed to portsift.");
  static constexpr char VALUE_FMT[] = "%s %" PRIu64 "\n";
  put(out, VALUE_FMT, "portsift_packets_total", run.clock.packet_count);
  if (capture.known) {
    family(out, "portsift_capture_received_packets_total", "counter",
           "Packets the capture received, as libpcap counts them.");
    put(out, VALUE_FMT, "portsift_capture_received_packets_total", capture.received);
    family(out, "portsift_capture_dropped_packets_total", "counter",
           "Packets lost before portsift saw them: no room in the capture buffer, or dropped "
           "by the interface.");
    static constexpr char WHERE_FMT[] =
        "portsift_capture_dropped_packets_total{where=\"%s\"} %" PRIu64 "\n";
    put(out, WHERE_FMT, "buffer", capture.dropped);
    put(out, WHERE_FMT, "interface", capture.if_dropped);
  }
  size_t records = 0;
  for (const std::unique_ptr<Monitor>& m : run.monitors) records += conn_count(m->table);
  family(out, "portsift_table_records", "gauge", "Connection records held, over every port.");
  put(out, VALUE_FMT, "portsift_table_records", static_cast<uint64_t>(records));
  family(out, "portsift_watched_ports", "gauge", "Ports watched.");
  put(out, VALUE_FMT, "portsift_watched_ports", static_cast<uint64_t>(run.monitors.size()));
  family(out, "portsift_unwatched_syns_total", "counter",
         "SYNs to ports found beyond --max-ports (-p any), counted and not followed.");
  put(out, VALUE_FMT, "portsift_unwatched_syns_total", run.unwatched_syns);

  std::vector<const Monitor*> ports;
  for (const std::unique_ptr<Monitor>& m : run.monitors) ports.push_back(m.get());
  std::sort(ports.begin(), ports.end(),
            [](const Monitor* a, const Monitor* b) { return a->port < b->port; });

  per_port(out, ports, "portsift_syns_total", "counter",
           "SYNs that opened or repeated a connection attempt.",
           [](const Monitor& m) { return m.totals.total_syns; });
  per_port(out, ports, "portsift_repeated_syns_total", "counter",
           "SYNs that repeated an attempt still unanswered.",
           [](const Monitor& m) { return m.totals.dup_syns; });

  family(out, "portsift_connections_total", "counter",
         "Connections by how they ended: completed (measured at their first FIN), reset, "
         "refused (an RST answering a SYN), unanswered (a SYN expired without a SYN-ACK), "
         "expired (an established or closing record that left the table; a closing one was "
         "counted completed at its FIN).");
  static constexpr char OUTCOME_FMT[] =
      "portsift_connections_total{port=\"%u\",outcome=\"%s\"} %" PRIu64 "\n";
  for (const Monitor* m : ports) {
    const unsigned port = m->port;
    const RunTotals& t = m->totals;
    put(out, OUTCOME_FMT, port, "completed", static_cast<uint64_t>(t.nconns));
    put(out, OUTCOME_FMT, port, "reset", t.resets - t.refused);
    put(out, OUTCOME_FMT, port, "refused", t.refused);
    put(out, OUTCOME_FMT, port, "unanswered", m->expired.unanswered);
    put(out, OUTCOME_FMT, port, "expired", m->expired.established + m->expired.closing);
  }
  per_port(out, ports, "portsift_client_bytes_total", "counter",
           "Bytes the clients of completed connections sent (sequence numbers used).",
           [](const Monitor& m) { return static_cast<uint64_t>(m.totals.sum_client_bytes); });
  per_port(out, ports, "portsift_server_bytes_total", "counter",
           "Bytes the server sent on completed connections (sequence numbers used).",
           [](const Monitor& m) { return static_cast<uint64_t>(m.totals.sum_server_bytes); });

  histogram(out, ports, "portsift_handshake_seconds",
            "From the SYN to the SYN-ACK that answered it.", true,
            [](const Monitor& m) -> const ExpositionHistogram& { return m.exposed.handshake_us; });
  histogram(out, ports, "portsift_connection_duration_seconds",
            "From the SYN to the first FIN, of completed connections.", true,
            [](const Monitor& m) -> const ExpositionHistogram& { return m.exposed.duration_us; });
  histogram(out, ports, "portsift_connection_client_bytes",
            "What the client of a completed connection sent.", false,
            [](const Monitor& m) -> const ExpositionHistogram& { return m.exposed.client_bytes; });
  histogram(out, ports, "portsift_connection_server_bytes",
            "What the server sent on a completed connection.", false,
            [](const Monitor& m) -> const ExpositionHistogram& { return m.exposed.server_bytes; });

  family(out, "portsift_open_connections", "gauge",
         "Connection records by state: waiting for a SYN-ACK, established, closing.");
  static constexpr char STATE_FMT[] =
      "portsift_open_connections{port=\"%u\",state=\"%s\"} %" PRIu64 "\n";
  for (const Monitor* m : ports) {
    put(out, STATE_FMT, static_cast<unsigned>(m->port), "syn_seen", m->states.syn_seen);
    put(out, STATE_FMT, static_cast<unsigned>(m->port), "established", m->states.established);
    put(out, STATE_FMT, static_cast<unsigned>(m->port), "closing", m->states.closing);
  }
  per_port(out, ports, "portsift_untracked_syns_total", "counter",
           "SYNs of new endpoints while the table held --max-conns records: counted, not "
           "followed.",
           [](const Monitor& m) { return m.untracked.syns; });
  return out;
}
