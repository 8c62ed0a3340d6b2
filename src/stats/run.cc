#include "stats/run.h"

Run::Run(const Settings& settings, RunOutput streams)
    : settings(settings), output(streams), data(streams.out), pool(&memory) {
  if (settings.data_on_stdout()) output.out = output.err;
}

Monitor* add_monitor(Run& run, uint16_t port) {
  auto m = std::make_unique<Monitor>(port, run.settings, run.pool, run.host, run.output,
                                     &run.memory);
  if (!run.settings.write_mode() && !m->buckets.allocate(run.settings.nbuckets)) return nullptr;
  run.monitors.push_back(std::move(m));
  return run.monitors.back().get();
}
