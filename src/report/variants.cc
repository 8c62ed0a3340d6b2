#include "report/variants.h"

#include <cinttypes>

#include "common/addr.h"
#include "common/settings.h"
#include "report/report_lines.h"
#include "stats/run_clock.h"
#include "stats/run_stats.h"
#include "track/addr_pool.h"
#include "track/conn_table.h"

namespace {

bool open_longer_than(const ConnInfo& rec, const Timeval& now, int msecs) {
  return (rec.state == ESTABLISHED || rec.state == CLOSING) &&
         msecs_between(rec.syn_time, now) > msecs;
}

}  // namespace

void print_status(FILE* out, const Timeval& now) {
  // Before the first packet has been counted the window has no start (the status
  // line of the very first packet comes before it is set): nothing has elapsed yet.
  int32_t elapsed = g_clock.packet_count == 0 ? 0 : msecs_between(g_clock.window_start, now);
  if (elapsed < 0) elapsed = 0;
  int open_long = 0;
  conn_for_each([&](const ConnInfo& rec) {
    if (open_longer_than(rec, now, g_settings.status_every)) open_long++;
  });
  // The elapsed time passes through single precision, as it always has: scripts
  // comparing status lines see the same rounding.
  const float elapsed_f = static_cast<float>(elapsed);
  static constexpr char STATUS_FMT[] = "%lu, %f %d\n";
  std::fprintf(out, STATUS_FMT, static_cast<unsigned long>(conn_count()), elapsed_f / 1000.0,
               open_long);
}

void print_brief_report(FILE* out, int32_t elapsed, const OpenCounts& open) {
  const RunTotals& t = g_totals;
  print_results_line(out, elapsed);
  static constexpr char TOTALS_FMT[] =
      "Total Connections: %lld\nAvg Client Data: %lld bytes\nAvg Server Data: %lld bytes\n"
      "Avg conn time: %lld msecs\n";
  std::fprintf(out, TOTALS_FMT, static_cast<long long>(t.nconns),
               static_cast<long long>(average(t.sum_client_bytes, t.nconns)),
               static_cast<long long>(average(t.sum_server_bytes, t.nconns)),
               static_cast<long long>(average(t.sum_duration, t.nconns)));
  print_syn_totals(out);
  print_syns_taken(out);
  // What the full report calls "dropped by the server".
  static constexpr char NEVER_FMT[] =
      "Number of unique connections that never completed: %" PRIu64 "\n";
  std::fprintf(out, NEVER_FMT, open.never_completed);
  print_incomplete_syns(out, open.incomplete_syns);
  static constexpr char IN_PROGRESS_FMT[] =
      "Number of established connections in progress: %" PRIu64 "\n";
  std::fprintf(out, IN_PROGRESS_FMT, open.in_progress);
  print_syn_distribution(out);
  std::fputs("\n", out);
}

void print_open_connections(FILE* out) {
  const int every = g_settings.status_every;
  const std::vector<const ConnInfo*> records = conns_in_key_order();
  if (every != 0) {
    const Timeval end = g_clock.end_time;
    print_status(out, end);
    static constexpr char IN_PROGRESS_FMT[] = "Connections in Progress for longer than %d msecs:\n";
    std::fprintf(out, IN_PROGRESS_FMT, every);
    static constexpr char OPEN_FMT[] = "%d(%d):host %s and port %d\n";
    for (const ConnInfo* rec : records) {
      if (!open_longer_than(*rec, end, every)) continue;
      std::fprintf(out, OPEN_FMT, msecs_between(rec->syn_time, end), rec->synacks,
                   addr_text(rec->client).text, static_cast<int>(rec->client.port));
    }
  }
  std::fputs("Connections without SYN|ACK:\n", out);
  static constexpr char NO_SYNACK_FMT[] = "NOSYNACK:host %s and port %d\n";
  for (const ConnInfo* rec : records)
    if (rec->state == SYN_SEEN)
      std::fprintf(out, NO_SYNACK_FMT, addr_text(rec->client).text,
                   static_cast<int>(rec->client.port));
}
