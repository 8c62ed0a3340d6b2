#include "run/split_tracker.h"

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <sstream>
#include <string>

#include "run/packet_loop.h"

namespace {

// Processors this process may run on.
int usable_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set);
}

// The first line of a file, or "" when it cannot be read.
std::string first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The quota of one control group in processors, or 0 for none: cgroup v2's
// "cpu.max" ("max 100000" or "QUOTA PERIOD").
double v2_quota(const std::string& dir) {
  std::istringstream in(first_line(dir + "/cpu.max"));
  std::string quota;
  double period = 0;
  if (!(in >> quota >> period) || quota == "max" || period <= 0) return 0;
  return std::max(0.0, std::atof(quota.c_str()) / period);
}

// cgroup v1's: cpu.cfs_quota_us (-1: none) over cpu.cfs_period_us.
double v1_quota(const std::string& dir) {
  const double quota = std::atof(first_line(dir + "/cpu.cfs_quota_us").c_str());
  const double period = std::atof(first_line(dir + "/cpu.cfs_period_us").c_str());
  return quota > 0 && period > 0 ? quota / period : 0;
}

}  // namespace

double cgroup_cpu_quota(const std::string& proc_self_cgroup, const std::string& sys_fs_cgroup) {
  // Each line is "ID:CONTROLLERS:PATH"; v2's has no controllers, v1's cpu
  // controller may share its hierarchy with cpuacct.
  std::string v2_path, v1_path, v1_mount;
  std::istringstream lines(proc_self_cgroup);
  for (std::string line; std::getline(lines, line);) {
    const size_t a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
    if (controllers.empty()) v2_path = path;
    std::istringstream names(controllers);
    for (std::string name; std::getline(names, name, ',');)
      if (name == "cpu") v1_path = path, v1_mount = controllers;
  }
  double least = 0;
  // The group's own quota and every ancestor's bound it.
  for (int v = 0; v < 2; v++) {
    std::string path = v == 0 ? v2_path : v1_path;
    if (path.empty() || path[0] != '/') continue;
    for (;;) {
      const double q = v == 0 ? v2_quota(sys_fs_cgroup + path)
                              : v1_quota(sys_fs_cgroup + "/" + v1_mount + path);
      if (q > 0 && (least == 0 || q < least)) least = q;
      if (path == "/") break;
      const size_t slash = path.find_last_of('/');
      path = slash == 0 ? "/" : path.substr(0, slash);
    }
  }
  return least;
}

std::atomic<uint64_t> TrackerSplit::stood_{0};

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

bool TrackerSplit::two_processors() {
  if (usable_processors() < 2) return false;
  std::ifstream in("/proc/self/cgroup");
  const std::string groups((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const double quota = cgroup_cpu_quota(groups, "/sys/fs/cgroup");
  return quota == 0 || quota >= 2;
}

bool TrackerSplit::wanted(const Run& run) {
  const Settings& s = run.settings;
  const char* threads = std::getenv("PORTSIFT_TRACKER_THREADS");
  if (threads != nullptr && std::strcmp(threads, "1") == 0) return false;
  return can_defer_segments(run) && !s.any_port && run.monitors.size() == 1 &&
         !s.keeps_records() && !s.write_mode() && s.filter_from == -1 && s.min_syns == 0 &&
         s.report_variant != REPORT_OPEN_LISTING &&
         !s.expires() && !s.metrics && s.metrics_file.empty() && s.html_file.empty() &&
         !s.summary && s.max_conns == SIZE_MAX && run.memory.left == UINT64_MAX &&
         run.host.v4.empty() && run.host.v6.empty() && two_processors();
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
  stood_++;
  return true;
}
