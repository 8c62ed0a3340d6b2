#include "stats/run.h"

#include <algorithm>

Run::Run(const Settings& settings, RunOutput streams)
    : settings(settings),
      output(streams),
      data(streams.out),
      pool(&memory),
      monitor_index(65536, NO_MONITOR) {
  if (settings.data_on_stdout()) output.out = output.err;
}

Monitor* add_monitor(Run& run, uint16_t port) {
  if (run.monitor_index[port] != Run::NO_MONITOR || run.monitors.size() >= Run::NO_MONITOR)
    return nullptr;
  auto m = std::make_unique<Monitor>(port, run.settings, run.pool, run.host, run.output,
                                     &run.memory);
  if (!run.settings.write_mode() && !m->buckets.allocate(run.settings.nbuckets)) return nullptr;
  run.monitor_index[port] = static_cast<uint16_t>(run.monitors.size());
  run.monitors.push_back(std::move(m));
  return run.monitors.back().get();
}

std::vector<const Monitor*> report_order(const Run& run) {
  std::vector<const Monitor*> order;
  for (const std::unique_ptr<Monitor>& m : run.monitors) order.push_back(m.get());
  if (run.settings.any_port)
    std::sort(order.begin(), order.end(), [](const Monitor* a, const Monitor* b) {
      if (a->totals.nconns != b->totals.nconns) return a->totals.nconns > b->totals.nconns;
      return a->port < b->port;
    });
  return order;
}

int64_t interval_origin_us(const Run& run) {
  const int64_t start = usecs_of(run.clock.start_time);
  const int64_t length = run.settings.interval_us;
  if (!run.settings.metrics || length <= 0) return start;
  return start - ((start % length) + length) % length;
}

namespace {

// A clock not started yet starts with the run: its first row begins no earlier than
// the run, whatever multiple of the interval it is cut from.
void start_with_run(const Run& run, Monitor& m) {
  if (!m.intervals.started) m.intervals.not_before_us = usecs_of(run.clock.start_time);
}

}  // namespace

void advance_intervals(Run& run, int64_t now_us) {
  if (run.monitors.empty() || !intervals_due(run.monitors.front()->intervals, now_us)) return;
  const int64_t origin = interval_origin_us(run);
  for (const std::unique_ptr<Monitor>& m : run.monitors) {
    start_with_run(run, *m);
    monitor_advance_intervals(*m, origin, now_us);
  }
}

void finish_intervals(Run& run, int64_t end_us) {
  const int64_t origin = interval_origin_us(run);
  for (const std::unique_ptr<Monitor>& m : run.monitors) {
    start_with_run(run, *m);
    monitor_finish_intervals(*m, origin, end_us);
  }
}
