#include "stats/run_stats.h"

#include <cstdlib>

RunTotals g_totals;
BucketTable g_buckets;
FilterList g_filters;
SynDistribution g_syn_dist;

bool create_bucket_table(int n) {
  if (n < 0) return false;
  size_t count = static_cast<size_t>(n) + 1;  // no int overflow at n = INT_MAX
  void* rows = std::calloc(count, sizeof(Bucket));
  if (rows == nullptr) return false;
  std::free(g_buckets.rows);
  g_buckets.rows = static_cast<Bucket*>(rows);
  g_buckets.size = count;
  return true;
}

void reset_run_stats() {
  g_totals = RunTotals{};
  std::free(g_buckets.rows);
  g_buckets = BucketTable{};
  g_filters.clear();
  g_syn_dist.clear();
}
