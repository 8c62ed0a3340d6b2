// Run statistics: the run-wide counters, the distribution buckets, the -D filter
// list and the distribution of SYNs per counted connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "common/addr.h"

// What close accounting sums over the run (the SYN counters are the handshake
// tracker's: TrackerState).
struct RunTotals {
  uint64_t resets = 0;  // records removed by an RST before their first FIN
  int64_t nconns = 0;   // connections counted at their first FIN
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

// nbuckets regular buckets and, last, the overflow bucket.
struct BucketTable {
  Bucket* rows = nullptr;
  size_t size = 0;
};

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

extern RunTotals g_totals;
extern BucketTable g_buckets;
extern FilterList g_filters;
extern SynDistribution g_syn_dist;

// Allocates n + 1 zeroed buckets; false when memory runs out. The memory is
// zero-filled lazily by the system, so a large -n costs nothing until used.
bool create_bucket_table(int n);

// Returns every record of this unit to its initial, empty state.
void reset_run_stats();
