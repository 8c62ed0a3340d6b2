#include "report/summary.h"

#include <cinttypes>
#include <ctime>

#include "report/distribution.h"
#include "report/report_lines.h"
#include "report/variants.h"
#include "stats/run_clock.h"

namespace {

void print_summary(FILE* out, const Run& run, const Monitor& m, int32_t elapsed,
                   const OpenCounts& open) {
  const RunTotals& t = m.totals;
  print_results_line(out, m.port, elapsed);

  // ctime() ends its text with the line end.
  static constexpr char START_FMT[] = "Start time: %s";
  static constexpr char END_FMT[] = "End time: %s";
  time_t start = static_cast<time_t>(run.clock.start_time.sec);
  time_t end = static_cast<time_t>(run.clock.end_time.sec);
  const char* start_text = std::ctime(&start);
  std::fprintf(out, START_FMT, start_text ? start_text : "?\n");
  const char* end_text = std::ctime(&end);
  std::fprintf(out, END_FMT, end_text ? end_text : "?\n");

  static constexpr char TOTALS_FMT[] =
      "Total Connections (terminated by FIN): %lld\nAvg Client Data: %lld bytes\n"
      "Avg Server Data: %lld bytes\nAvg conn duration: %lld msecs\n";
  std::fprintf(out, TOTALS_FMT, static_cast<long long>(t.nconns),
               static_cast<long long>(average(t.sum_client_bytes, t.nconns)),
               static_cast<long long>(average(t.sum_server_bytes, t.nconns)),
               static_cast<long long>(average(t.sum_duration, t.nconns)));
  static constexpr char RTT_FMT[] = "Avg Round Trip Time: %lld msecs\n";
  std::fprintf(out, RTT_FMT, static_cast<long long>(average(t.sum_rtt, t.nconns)));
  print_syn_totals(out, m);
  static constexpr char RESETS_FMT[] = "Connections terminated by RESET: %" PRIu64 "\n";
  std::fprintf(out, RESETS_FMT, t.resets);
  print_syns_taken(out, m);
  static constexpr char DROPPED_FMT[] =
      "Number of unique connections dropped by the server: %" PRIu64 "\n";
  std::fprintf(out, DROPPED_FMT, open.never_completed);
  print_incomplete_syns(out, open.incomplete_syns);
  static constexpr char IN_PROGRESS_FMT[] =
      "Number of established connections in progress: %" PRIu64 " (%" PRIu64
      " may have been discarded by the client)\n";
  std::fprintf(out, IN_PROGRESS_FMT, open.in_progress, open.maybe_discarded);
  static constexpr char CLOSING_FMT[] = "Number of connections in closing state: %" PRIu64 "\n";
  std::fprintf(out, CLOSING_FMT, open.closing);
  print_syn_distribution(out, m);
  std::fputs("\n\n", out);
}

}  // namespace

void write_report(const Run& run, const Monitor& m, FILE* out) {
  const OpenCounts open = count_open_connections(m);
  const int32_t elapsed = run_length_ms(run.clock, run.output.out, run.settings.debug);
  if (run.settings.report_variant == REPORT_OPEN_LISTING) {
    print_open_connections(out, run, m);
    return;
  }
  if (run.settings.report_variant == REPORT_BRIEF) {
    print_brief_report(out, m, elapsed, open);
    return;
  }
  print_summary(out, run, m, elapsed, open);
  print_distribution(out, run, m);
}
