// Run statistics: the counters, the distribution buckets, the -D filter list and the
// distribution of SYNs per counted connection, each kept per monitored port (Monitor).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "common/addr.h"

// What the handshake and close handlers sum over the run.
struct RunTotals {
  uint64_t total_syns = 0;  // SYNs that created or restarted a connection record
  uint64_t dup_syns = 0;    // SYNs that restarted an existing record
  uint64_t resets = 0;      // records removed by an RST before their first FIN
  // Of those, attempts the server refused: its RST answered a SYN that had no SYN-ACK.
  uint64_t refused = 0;
  int64_t nconns = 0;       // connections counted at their first FIN
  int64_t sum_client_bytes = 0;
  int64_t sum_server_bytes = 0;
  int64_t sum_duration = 0;  // milliseconds
  int64_t sum_rtt = 0;       // milliseconds
  uint64_t sum_syns = 0;     // nsyns summed over counted connections
};

// Plain data without initialisers, so that calloc() can create a zeroed table.
struct Bucket {
  int64_t count;
  int64_t client_bytes;
  int64_t server_bytes;
  // Only 32 bits wide, unlike its neighbours: the report widens it with its sign
  // before dividing, so a wrapped sum shows as it wrapped.
  int32_t rtt;
  int64_t duration;    // in the throughput ordering a duration of 0 is summed as 1
  int64_t throughput;  // sum of (client + server bytes) / (duration + 1)
};

// nbuckets regular buckets and, last, the overflow bucket. The memory is zero-filled
// lazily by the system (calloc), so a large -n costs nothing until used.
class BucketTable {
 public:
  BucketTable() = default;
  BucketTable(const BucketTable&) = delete;
  BucketTable& operator=(const BucketTable&) = delete;
  ~BucketTable() { std::free(rows_); }

  // Allocates n + 1 zeroed buckets in place of any before; false when memory runs out.
  bool allocate(int n);

  size_t size() const { return size_; }
  Bucket& operator[](size_t i) { return rows_[i]; }
  const Bucket& operator[](size_t i) const { return rows_[i]; }

 private:
  Bucket* rows_ = nullptr;
  size_t size_ = 0;
};

// Whether a table of n + 1 buckets can be had now: start-up asks before the run's
// monitors take their tables, so that a table too large fails where it always has,
// among the checks of the command line.
bool bucket_table_fits(int n);

// A connection listed by -D: the addresses of the packet that carried its first FIN
// (IPv6 ones held in the address pool).
struct FilterEntry {
  IpAddr addr_a;  // source
  IpAddr addr_b;  // destination
  uint16_t client_port = 0;
  Family family = Family::IPV4;
};

using FilterList = std::vector<FilterEntry>;
using SynDistribution = std::map<uint64_t, uint64_t>;  // nsyns -> counted connections
