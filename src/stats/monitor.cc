#include "stats/monitor.h"

Monitor::Monitor(uint16_t port, const Settings& settings, AddrPool& pool, const HostAddrs& host,
                 const RunOutput& output, BigAllocLimit* limit)
    : port(port),
      settings(settings),
      pool(pool),
      host(host),
      output(output),
      table(pool, limit),
      rtt_enabled(settings.rtt_enabled),
      exposes(settings.metrics || !settings.metrics_file.empty()) {
  if (settings.max_conns != SIZE_MAX) conn_table_hold_at_most(table, settings.max_conns);
  page.enabled = !settings.html_file.empty();
}

void monitor_reserve(Monitor& m) {
  if (m.reserved) return;
  if (m.records.interval_rows) {
    m.records.interval_handshakes.reserve();
    m.records.interval_durations.reserve();
  }
  if (m.records.enabled && m.settings.gathers_percentiles()) percentiles_reserve(m.percentiles);
  m.reserved = true;
}

OpenCounts count_open_connections(const Monitor& m) {
  OpenCounts c = m.split_open;
  // An attempt that expired unanswered is still one the server dropped.
  c.never_completed += m.expired.unanswered;
  c.incomplete_syns += m.expired.unanswered_syns;
  conn_for_each(m.table, [&](const ConnInfo& rec) {
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

void add_monitor_figures(Monitor& into, const Monitor& from) {
  RunTotals& t = into.totals;
  const RunTotals& f = from.totals;
  t.total_syns += f.total_syns;
  t.dup_syns += f.dup_syns;
  t.resets += f.resets;
  t.refused += f.refused;
  t.nconns += f.nconns;
  t.sum_client_bytes += f.sum_client_bytes;
  t.sum_server_bytes += f.sum_server_bytes;
  t.sum_duration += f.sum_duration;
  t.sum_rtt += f.sum_rtt;
  t.sum_syns += f.sum_syns;
  into.untracked.syns += from.untracked.syns;
  for (const auto& [nsyns, conns] : from.syn_dist) into.syn_dist[nsyns] += conns;
  for (size_t i = 0; i < into.buckets.size() && i < from.buckets.size(); i++) {
    Bucket& b = into.buckets[i];
    const Bucket& a = from.buckets[i];
    b.count += a.count;
    b.client_bytes += a.client_bytes;
    b.server_bytes += a.server_bytes;
    // 32 bits wide, wrapping as the handlers' own sums do: the order of the
    // additions does not change the result.
    b.rtt = static_cast<int32_t>(static_cast<uint32_t>(b.rtt) + static_cast<uint32_t>(a.rtt));
    b.duration += a.duration;
    b.throughput += a.throughput;
  }
  const OpenCounts open = count_open_connections(from);
  OpenCounts& o = into.split_open;
  o.never_completed += open.never_completed;
  o.incomplete_syns += open.incomplete_syns;
  o.in_progress += open.in_progress;
  o.closing += open.closing;
  o.maybe_discarded += open.maybe_discarded;
}

IntervalTotals interval_totals(const Monitor& m) {
  IntervalTotals t;
  t.syns = m.totals.total_syns;
  t.dup_syns = m.totals.dup_syns;
  t.resets = m.totals.resets;
  t.nconns = m.totals.nconns;
  t.sum_client_bytes = m.totals.sum_client_bytes;
  t.sum_server_bytes = m.totals.sum_server_bytes;
  t.unanswered = m.records.unanswered;
  t.unanswered_syns = m.records.unanswered_syns;
  t.records = conn_count(m.table);
  return t;
}
