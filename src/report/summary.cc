#include "report/summary.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/trace.h"
#include "report/distribution.h"
#include "report/variants.h"
#include "run/capture.h"
#include "run/settings.h"
#include "stats/run_stats.h"
#include "track/conn_table.h"

OpenCounts count_open_connections() {
  OpenCounts c;
  conn_for_each([&](const ConnInfo& rec) {
    if (rec.state <= SYN_SEEN) {
      c.never_completed++;
      c.incomplete_syns += rec.nsyns;
    } else {
      c.in_progress++;
      if (rec.state == CLOSING) c.closing++;
      // Four SYN-ACKs for one attempt: the client is probably no longer there.
      if (rec.synacks >= 4) c.maybe_discarded++;
    }
  });
  return c;
}

int64_t average(int64_t sum, int64_t count) { return count == 0 ? 0 : sum / count; }

void print_syn_distribution() {
  static constexpr char SYN_DIST_HEADING[] =
      "Distribution of SYNs to establsh connections (nSYNs:nConns): ";
  static constexpr char SYN_DIST_ENTRY_FMT[] = "%lu:%lu,";
  std::fputs(SYN_DIST_HEADING, stdout);
  // Ascending number of SYNs, each entry followed by a comma.
  for (const auto& [nsyns, conns] : g_syn_dist) std::printf(SYN_DIST_ENTRY_FMT, nsyns, conns);
}

void print_syns_taken() {
  const RunTotals& t = g_totals;
  static constexpr char SUM_SYNS_FMT[] = "Number of SYNs taken to establish connections: %lu\n";
  std::printf(SUM_SYNS_FMT, t.sum_syns);
  if (t.nconns != 0) {
    // Single precision, as scripts have always seen it: 43 / 40 prints 1.08.
    static constexpr char AVG_SYNS_FMT[] = "Avg no. of SYNs to establish a connection: %5.2f\n";
    std::printf(AVG_SYNS_FMT,
                static_cast<double>(static_cast<float>(t.sum_syns) / static_cast<float>(t.nconns)));
  }
}

namespace {

void print_summary(int32_t elapsed, const OpenCounts& open) {
  const Settings& s = g_settings;
  const RunTotals& t = g_totals;
  static constexpr char RESULTS_FMT[] = "Results of monitoring port %d for %f seconds\n";
  std::printf(RESULTS_FMT, s.port, elapsed / 1000.0);

  // ctime() ends its text with the line end.
  static constexpr char START_FMT[] = "Start time: %s";
  static constexpr char END_FMT[] = "End time: %s";
  time_t start = static_cast<time_t>(g_capture.start_time.sec);
  time_t end = static_cast<time_t>(g_capture.end_time.sec);
  const char* start_text = std::ctime(&start);
  std::printf(START_FMT, start_text ? start_text : "?\n");
  const char* end_text = std::ctime(&end);
  std::printf(END_FMT, end_text ? end_text : "?\n");

  static constexpr char TOTALS_FMT[] =
      "Total Connections (terminated by FIN): %lld\nAvg Client Data: %lld bytes\n"
      "Avg Server Data: %lld bytes\nAvg conn duration: %lld msecs\n";
  std::printf(TOTALS_FMT, static_cast<long long>(t.nconns),
              static_cast<long long>(average(t.sum_client_bytes, t.nconns)),
              static_cast<long long>(average(t.sum_server_bytes, t.nconns)),
              static_cast<long long>(average(t.sum_duration, t.nconns)));
  static constexpr char RTT_FMT[] = "Avg Round Trip Time: %lld msecs\n";
  std::printf(RTT_FMT, static_cast<long long>(average(t.sum_rtt, t.nconns)));
  static constexpr char SYNS_FMT[] = "Total number of SYNs: %lu (duplicates: %lu)\n";
  std::printf(SYNS_FMT, t.total_syns, t.dup_syns);
  static constexpr char RESETS_FMT[] = "Connections terminated by RESET: %lu\n";
  std::printf(RESETS_FMT, t.resets);
  print_syns_taken();
  static constexpr char DROPPED_FMT[] = "Number of unique connections dropped by the server: %lu\n";
  std::printf(DROPPED_FMT, open.never_completed);
  static constexpr char INCOMPLETE_FMT[] = "Number of SYNs from incomplete connections: %lu\n";
  std::printf(INCOMPLETE_FMT, open.incomplete_syns);
  static constexpr char IN_PROGRESS_FMT[] =
      "Number of established connections in progress: %lu (%lu may have been discarded by the "
      "client)\n";
  std::printf(IN_PROGRESS_FMT, open.in_progress, open.maybe_discarded);
  static constexpr char CLOSING_FMT[] = "Number of connections in closing state: %lu\n";
  std::printf(CLOSING_FMT, open.closing);
  print_syn_distribution();
  std::fputs("\n\n", stdout);
}

}  // namespace

void write_report() {
  end_capture();
  if (g_settings.debug >= 2) {
    static constexpr char HASH_HAS_FMT[] = "Hash has %u conns left\n\n";
    TRACE(HASH_HAS_FMT, static_cast<unsigned>(conn_count()));
  }
  const OpenCounts open = count_open_connections();
  if (!g_capture.offline) {
    g_capture.end_time = wall_clock_now();
    // A live run that saw no packet never opened its window: open it as the first
    // packet would have, one second before the start, so the reported length is
    // the same with or without traffic.
    if (g_capture.packet_count == 0)
      g_capture.window_start = Timeval{g_capture.start_time.sec - 1, g_capture.start_time.usec};
  }
  const int32_t elapsed = msecs_between(g_capture.window_start, g_capture.end_time);

  if (g_settings.report_variant == 999) {
    print_open_connections();
    return;
  }
  if (g_settings.report_variant == 1) {
    print_brief_report(elapsed, open);
    return;
  }
  print_summary(elapsed, open);
  print_distribution();
}

void print_report() {
  write_report();
  std::exit(0);
}
