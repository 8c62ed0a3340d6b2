// Log-bucketed histogram: quantiles of non-negative integers (microseconds, bytes)
// within 1/128 of their value, in fixed memory whatever the number of values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Values below 128 have a bucket each. Above, every power of two is cut into 64
// buckets of equal width: a bucket starting at L is at most L/64 wide, so its
// midpoint is within 1/128 of any value in it. 3 776 buckets cover every 64-bit
// value; their counts are allocated at the first value, so a histogram that never
// receives one costs nothing.
class LogHistogram {
 public:
  static constexpr size_t EXACT = 128;  // values with a bucket of their own
  static constexpr unsigned SUB_BITS = 6;  // 64 buckets per power of two above them
  static constexpr size_t BUCKETS = EXACT + (64 - 7) * (size_t{1} << SUB_BITS);

  void add(uint64_t value);
  // Takes the memory now, so that no later add() has to find any.
  void reserve();
  // Forgets every value; keeps the memory.
  void clear();

  uint64_t count() const { return count_; }
  uint64_t min() const { return min_; }
  uint64_t max() const { return max_; }

  // The q-quantile (0 <= q <= 1) of the values, count() > 0: interpolated between
  // the two values whose ranks are nearest to (count - 1) * q, as numpy.percentile,
  // pandas and R (type 7) compute it by default. Each of the two is estimated by
  // the middle of its bucket, kept within [min, max], so the result is within 1/128
  // of the exact one.
  double quantile(double q) const;

  // How many values bucket `bucket` holds.
  uint64_t bucket_count(size_t bucket) const {
    return bucket < counts_.size() ? counts_[bucket] : 0;
  }
  // How many values lie in [lo, hi), for bounds that are bucket edges (every power
  // of two is one): exact. A `hi` of UINT64_MAX takes in every value from `lo` on.
  uint64_t count_between(uint64_t lo, uint64_t hi) const;

  static size_t bucket_of(uint64_t value);
  static uint64_t bucket_low(size_t bucket);
  static uint64_t bucket_width(size_t bucket);

 private:
  // The estimate of the value of rank `rank` (from 0) in ascending order.
  double value_at(uint64_t rank) const;

  std::vector<uint64_t> counts_;
  uint64_t count_ = 0;
  uint64_t min_ = 0;
  uint64_t max_ = 0;
  size_t lowest_ = BUCKETS;  // the buckets that hold values lie in [lowest_, highest_]
  size_t highest_ = 0;
};
