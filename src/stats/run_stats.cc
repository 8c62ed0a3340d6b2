#include "stats/run_stats.h"

bool BucketTable::allocate(int n) {
  if (n < 0) return false;
  const size_t count = static_cast<size_t>(n) + 1;  // no int overflow at n = INT_MAX
  void* rows = std::calloc(count, sizeof(Bucket));
  if (rows == nullptr) return false;
  std::free(rows_);
  rows_ = static_cast<Bucket*>(rows);
  size_ = count;
  return true;
}

bool bucket_table_fits(int n) {
  BucketTable probe;
  return probe.allocate(n);
}
