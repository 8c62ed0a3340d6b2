#include "report/variants.h"

#include <cinttypes>

#include "common/addr.h"
#include "common/trace.h"
#include "report/report_lines.h"
#include "track/addr_pool.h"
#include "track/conn_table.h"

namespace {

// The age of a record at `now`; a record younger than its SYN (time running
// backwards) is traced at -d level 1, as every interval is.
int32_t age_of(const Run& run, const ConnInfo& rec, const Timeval& now) {
  return traced_msecs_between(run.output.out, run.settings.debug, rec.syn_time, now);
}

bool open_longer_than(const Run& run, const ConnInfo& rec, const Timeval& now, int msecs) {
  return (rec.state == ESTABLISHED || rec.state == CLOSING) && age_of(run, rec, now) > msecs;
}

}  // namespace

void print_status(FILE* out, const Run& run, const Monitor& m, const Timeval& now) {
  // Before the first packet has been counted the window has no start (the status
  // line of the very first packet comes before it is set): nothing has elapsed yet.
  int32_t elapsed = run.clock.packet_count == 0
                        ? 0
                        : traced_msecs_between(run.output.out, run.settings.debug,
                                               run.clock.window_start, now);
  if (elapsed < 0) elapsed = 0;
  int open_long = 0;
  conn_for_each(m.table, [&](const ConnInfo& rec) {
    if (open_longer_than(run, rec, now, run.settings.status_every)) open_long++;
  });
  // The elapsed time passes through single precision, as it always has: scripts
  // comparing status lines see the same rounding.
  const float elapsed_f = static_cast<float>(elapsed);
  static constexpr char STATUS_FMT[] = "%lu, %f %d\n";
  std::fprintf(out, STATUS_FMT, static_cast<unsigned long>(conn_count(m.table)),
               elapsed_f / 1000.0, open_long);
}

void print_brief_report(FILE* out, const Monitor& m, int32_t elapsed, const OpenCounts& open) {
  const RunTotals& t = m.totals;
  print_results_line(out, m.port, elapsed);
  static constexpr char TOTALS_FMT[] =
      "Total Connections: %lld\nAvg Client Data: %lld bytes\nAvg Server Data: %lld bytes\n"
      "Avg conn time: %lld msecs\n";
  std::fprintf(out, TOTALS_FMT, static_cast<long long>(t.nconns),
               static_cast<long long>(average(t.sum_client_bytes, t.nconns)),
               static_cast<long long>(average(t.sum_server_bytes, t.nconns)),
               static_cast<long long>(average(t.sum_duration, t.nconns)));
  print_syn_totals(out, m);
  print_syns_taken(out, m);
  // What the full report calls "dropped by the server".
  static constexpr char NEVER_FMT[] =
      "Number of unique connections that never completed: %" PRIu64 "\n";
  std::fprintf(out, NEVER_FMT, open.never_completed);
  print_incomplete_syns(out, open.incomplete_syns);
  static constexpr char IN_PROGRESS_FMT[] =
      "Number of established connections in progress: %" PRIu64 "\n";
  std::fprintf(out, IN_PROGRESS_FMT, open.in_progress);
  print_syn_distribution(out, m);
  std::fputs("\n", out);
}

void print_open_connections(FILE* out, const Run& run, const Monitor& m) {
  const int every = run.settings.status_every;
  const std::vector<const ConnInfo*> records = conns_in_key_order(m.table);
  if (every != 0) {
    const Timeval end = run.clock.end_time;
    print_status(out, run, m, end);
    static constexpr char IN_PROGRESS_FMT[] = "Connections in Progress for longer than %d msecs:\n";
    std::fprintf(out, IN_PROGRESS_FMT, every);
    static constexpr char OPEN_FMT[] = "%d(%d):host %s and port %d\n";
    for (const ConnInfo* rec : records) {
      if (!open_longer_than(run, *rec, end, every)) continue;
      std::fprintf(out, OPEN_FMT, age_of(run, *rec, end), rec->synacks,
                   addr_text(m.pool, rec->client).text, static_cast<int>(rec->client.port));
    }
  }
  std::fputs("Connections without SYN|ACK:\n", out);
  static constexpr char NO_SYNACK_FMT[] = "NOSYNACK:host %s and port %d\n";
  for (const ConnInfo* rec : records)
    if (rec->state == SYN_SEEN)
      std::fprintf(out, NO_SYNACK_FMT, addr_text(m.pool, rec->client).text,
                   static_cast<int>(rec->client.port));
}
