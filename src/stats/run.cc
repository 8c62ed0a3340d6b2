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
