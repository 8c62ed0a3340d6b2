// Two cores on a quiet file run: the connection table split by client endpoint.
//
// Every segment of a connection goes to the record of its client endpoint, and no
// handler reads another endpoint's record, so the clients can be dealt between two
// tables, each tracked by its own thread, as long as each table sees its clients'
// segments in file order. Both threads read the whole file (the same records, the
// same filter, the same clock and window) and each tracks only its own clients:
// the reading thread, which keeps the run's clock, in the "near" monitor, a worker
// thread, reading the file with a reader of its own, in the "far" monitor. Nothing
// passes between them while they read. At the end the two monitors' figures are
// added into the run's monitor: the totals, the buckets, the SYN distribution and
// what stays open are all sums.
//
// Only a run whose report is made of such sums splits (TrackerSplit::wanted): one
// port, nothing printed while packets are read, no records, -D listing, -c lines,
// -V 999 listing, expiry, memory bound or limit. Each side holds its clients' IPv6
// addresses in a pool of its own. Whatever could still make
// the order of two clients' segments visible (a tracker line such as "Bad bucket
// value", a table that runs out of memory, a file the fast reader hands to libpcap)
// makes finish() refuse the result: the run's own monitor is then untouched, and
// the caller reads the file again on one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "common/trace.h"
#include "run/file_filter.h"
#include "run/savefile_reader.h"
#include "stats/monitor.h"
#include "stats/run.h"
#include "track/decode.h"

// The CPU quota, in processors, of the control group a process is in (given the
// text of /proc/self/cgroup and where the cgroup file systems are mounted): the
// least of its own and its ancestors' quotas, cgroup v2 or v1; 0 when none is set.
double cgroup_cpu_quota(const std::string& proc_self_cgroup, const std::string& sys_fs_cgroup);

class TrackerSplit {
 public:
  // Whether the run may split its tracker: see above; also not when the process
  // may use only one processor (taskset -c 0 runs as it always did, and so does a
  // control group whose CPU quota is under two), nor with
  // PORTSIFT_TRACKER_THREADS=1 in the environment (the benchmark's baseline).
  static bool wanted(const Run& run);
  static bool two_processors();

  // Makes the two monitors and starts the worker on `reader`, a reader of the same
  // file placed at its first record, with `filter` (shared: it only reads) and the
  // file's framing. Throws std::bad_alloc when the monitors' memory cannot be had,
  // std::system_error when there is no thread.
  TrackerSplit(Run& run, std::unique_ptr<SavefileReader> reader, const FileFilter& filter,
               const LinkInfo& link);
  ~TrackerSplit();
  TrackerSplit(const TrackerSplit&) = delete;
  TrackerSplit& operator=(const TrackerSplit&) = delete;

  // The monitor the reading thread tracks its own clients in, and the pool that
  // holds their IPv6 addresses.
  Monitor& near_monitor() { return *near_; }
  AddrPool& near_pool() { return near_pool_; }

  // Whether a segment's client is the worker's (the reading thread passes over it).
  // An IPv6 client is not numbered yet: its address's bytes are hashed.
  bool far_client(const DecodedFrame& d) const {
    const Endpoint& client = tracked_endpoint(d, port_);
    uint64_t key = client.addr.raw;
    if (client.family == Family::IPV6) {
      const Ip6Addr& a = &client == &d.seg.src ? d.src6 : d.dst6;
      uint64_t high, low;
      std::memcpy(&high, a.bytes, 8);
      std::memcpy(&low, a.bytes + 8, 8);
      key = high ^ (low * 0x9e3779b97f4a7c15ULL) ^ (low >> 32);
    }
    return is_far(key, client.port);
  }

  // The worker stopped short of the file's end (memory, or a record it leaves to
  // libpcap): the result cannot stand, and reading may stop.
  bool failed() const { return failed_.load(std::memory_order_relaxed); }

  // Waits for the worker (stopping it first unless the reading thread read the
  // whole file: `read_whole`, to `end_offset`). Then, when both read the whole file
  // to the same offset, neither monitor printed a line and neither ran out of
  // memory, adds both into the run's monitor and returns true; otherwise returns
  // false, leaving the run's monitor as it was.
  bool finish(Run& run, bool read_whole, uint64_t end_offset);

  // How many split runs' results stood in this process: tests check that the runs
  // they mean to split did.
  static uint64_t results_that_stood() { return stood_.load(); }

  // The share of the clients the worker takes, in 1/16ths of the hash range: half.
  // Both threads read and decode every packet, so the halves are even (measured:
  // from 6/16 to 10/16 half is the fastest).
  static constexpr unsigned FAR_SIXTEENTHS = 8;

 private:
  static bool is_far(uint64_t address, uint16_t port) {
    // splitmix64's finaliser: a hash unlike the tables' own multiply-shift, so that
    // the clients of each half still spread over their table's whole index.
    uint64_t z = (address << 16 ^ port) + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return (z >> 60) < FAR_SIXTEENTHS;
  }
  void work();
  void stop_worker();

  Run& run_;  // read by the worker only for its settings and monitor list
  const uint16_t port_;
  // Each monitor prints into memory: a line there means the result cannot stand.
  struct CaughtOutput {
    char* text = nullptr;
    size_t length = 0;
    FILE* stream = nullptr;
    RunOutput output;
    CaughtOutput();
    ~CaughtOutput();
    bool printed();
  };
  CaughtOutput near_output_, far_output_;
  BigAllocLimit far_memory_;  // unlimited, as the run's is when a run splits
  // Each side numbers its clients' IPv6 addresses in a pool of its own.
  AddrPool near_pool_, far_pool_;
  std::unique_ptr<Monitor> near_, far_;

  std::unique_ptr<SavefileReader> reader_;
  const FileFilter& filter_;
  const LinkInfo link_;
  std::atomic<bool> stop_{false};    // the reading thread asks the worker to stop
  std::atomic<bool> failed_{false};  // the worker stopped short
  uint64_t end_offset_ = 0;          // where the worker's reader ended (read after join)
  std::thread worker_;
  bool joined_ = false;
  static std::atomic<uint64_t> stood_;
};
