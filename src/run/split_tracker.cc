#include "run/split_tracker.h"

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "run/packet_loop.h"
#include "stats/tracker.h"
#include "track/conn_table.h"

namespace {

// Processors this process may run on.
int usable_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set);
}

}  // namespace

TrackerSplit::CaughtOutput::CaughtOutput() {
  stream = open_memstream(&text, &length);
  if (stream == nullptr) throw std::bad_alloc();
  output = RunOutput{stream, stream};
}

TrackerSplit::CaughtOutput::~CaughtOutput() {
  if (stream != nullptr) std::fclose(stream);
  std::free(text);
}

bool TrackerSplit::CaughtOutput::printed() {
  std::fflush(stream);
  return length != 0;
}

bool TrackerSplit::wanted(const Run& run) {
  const Settings& s = run.settings;
  const char* threads = std::getenv("PORTSIFT_TRACKER_THREADS");
  if (threads != nullptr && std::strcmp(threads, "1") == 0) return false;
  return run.offline && s.debug == 0 && s.status_every == 0 && !s.any_port &&
         run.monitors.size() == 1 && !s.keeps_records() && !s.write_mode() &&
         s.filter_from == -1 && s.min_syns == 0 && s.report_variant != REPORT_OPEN_LISTING &&
         !s.expires() && !s.metrics && s.metrics_file.empty() && s.html_file.empty() &&
         !s.summary && s.max_conns == SIZE_MAX && run.memory.left == UINT64_MAX &&
         run.host.v4.empty() && run.host.v6.empty() && usable_processors() >= 2;
}

TrackerSplit::TrackerSplit(Run& run, std::unique_ptr<SavefileReader> reader,
                           const FileFilter& filter, const LinkInfo& link)
    : run_(run),
      port_(run.monitors.front()->port),
      near_pool_(&run.memory),
      far_pool_(&far_memory_),
      reader_(std::move(reader)),
      filter_(filter),
      link_(link) {
  auto make = [&](AddrPool& pool, const RunOutput& output, BigAllocLimit* limit) {
    auto m = std::make_unique<Monitor>(port_, run.settings, pool, run.host, output, limit);
    if (!m->buckets.allocate(run.settings.nbuckets)) throw std::bad_alloc();
    return m;
  };
  near_ = make(near_pool_, near_output_.output, &run.memory);
  far_ = make(far_pool_, far_output_.output, &far_memory_);
  worker_ = std::thread([this] { work(); });
}

TrackerSplit::~TrackerSplit() { stop_worker(); }

void TrackerSplit::stop_worker() {
  if (joined_) return;
  worker_.join();
  joined_ = true;
}

void TrackerSplit::work() {
  // The worker's side of the quiet packet loop: the run's clock as the reading
  // thread keeps it, from the same packets (the window admits the same segments on
  // both sides), its own address pool, its own monitor.
  RunClock clock;
  PacketFeed feed(run_);
  feed.link = link_;
  feed.clock = &clock;
  feed.pool = &far_pool_;
  feed.split = this;
  feed.split_worker = true;
  feed.near_monitor = far_.get();
  u_char* const user = reinterpret_cast<u_char*>(&feed);
  pcap_pkthdr header;
  const uint8_t* data;
  SavefileStatus status = SavefileStatus::OK;
  uint64_t records = 0;
  try {
    while ((status = reader_->next(&header, &data)) == SavefileStatus::OK) {
      if (++records % 4096 == 0 && stop_.load(std::memory_order_relaxed)) break;
      if (!filter_.matches(header, data)) continue;
      handle_packet_deferred(user, &header, data);
      if (feed.ran_out) break;
    }
    flush_deferred_segments(feed);
  } catch (...) {  // the handlers catch what they can throw; this thread must not end the process
    feed.ran_out = true;
  }
  end_offset_ = reader_->offset();
  if (feed.ran_out || status != SavefileStatus::END) failed_.store(true);
}

bool TrackerSplit::finish(Run& run, bool read_whole, uint64_t end_offset) {
  if (!read_whole) stop_.store(true, std::memory_order_relaxed);
  stop_worker();
  // A file that grew (or shrank) while it was read gave the two sides different
  // records: only one thread's read is one view of it.
  if (!read_whole || end_offset != end_offset_) return false;
  if (failed() || run.out_of_memory || near_output_.printed() || far_output_.printed() ||
      near_->untracked.syns != 0 || far_->untracked.syns != 0)
    return false;
  Monitor& m = *run.monitors.front();
  add_monitor_figures(m, *near_);
  add_monitor_figures(m, *far_);
  return true;
}
