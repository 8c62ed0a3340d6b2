#include "run/service.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "run/signals.h"
#include "stats/expiry.h"

namespace {

constexpr int64_t SWEEP_EVERY_US = 1000000;

}  // namespace

CaptureFigures capture_figures(pcap_t* pcap) {
  CaptureFigures f;
  struct pcap_stat stats;
  if (pcap == nullptr || pcap_stats(pcap, &stats) != 0) return f;
  f.known = true;
  f.received = stats.ps_recv;
  f.dropped = stats.ps_drop;
  f.if_dropped = stats.ps_ifdrop;
  return f;
}

std::string current_metrics(const Run& run, pcap_t* pcap) {
  return metrics_text(run, capture_figures(pcap), PORTSIFT_VERSION);
}

bool write_metrics_file(const Run& run, const std::string& text) {
  const std::string& path = run.settings.metrics_file;
  const std::string temporary = path + ".tmp";
  FILE* f = std::fopen(temporary.c_str(), "w");
  bool ok = f != nullptr;
  if (ok) {
    ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
  }
  if (ok) ok = std::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    static constexpr char METRICS_FILE_FMT[] = "%s: cannot write %s: %s\n";
    std::fprintf(run.output.err, METRICS_FILE_FMT, run.settings.program_name.c_str(),
                 path.c_str(), std::strerror(errno));
    std::remove(temporary.c_str());
  }
  return ok;
}

void sweep_expired(Run& run, const Timeval& now) {
  if (!run.settings.expires()) return;
  const int64_t now_us = usecs_of(now);
  if (now_us < run.next_expiry_us) return;
  run.next_expiry_us = now_us + SWEEP_EVERY_US;
  for (const std::unique_ptr<Monitor>& m : run.monitors) expire_records(*m, now, expiry_budget(*m));
}

ServiceLoop::ServiceLoop(Run& run, pcap_t* pcap, RecordFiles& files, MetricsServer* server)
    : run_(run), pcap_(pcap), files_(files), server_(server) {
  // Scrapes before the first packet get the run's figures, all zero.
  publish(usecs_of(wall_clock_now()));
}

void ServiceLoop::publish(int64_t now_us) {
  next_publish_us_ = now_us + PUBLISH_US;
  if (server_ != nullptr) server_->publish(current_metrics(run_, pcap_));
}

void ServiceLoop::tick() {
  const Timeval now = wall_clock_now();
  const int64_t now_us = usecs_of(now);
  // Rotated files first: the rows of this tick go to the new ones.
  if (take_reopen_request()) files_.reopen(run_);
  sweep_expired(run_, now);
  if (server_ != nullptr && now_us >= next_publish_us_) publish(now_us);
  if (!run_.settings.metrics_file.empty()) {
    const int64_t every = run_.settings.interval_us > 0 ? run_.settings.interval_us : METRICS_FILE_US;
    if (next_file_us_ == 0) next_file_us_ = now_us + every;
    if (now_us >= next_file_us_) {
      next_file_us_ = now_us + every;
      write_metrics_file(run_, current_metrics(run_, pcap_));
    }
  }
}
