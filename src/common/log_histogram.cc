#include "common/log_histogram.h"

#include <algorithm>
#include <cmath>

size_t LogHistogram::bucket_of(uint64_t value) {
  if (value < EXACT) return static_cast<size_t>(value);
  const unsigned top = 63u - static_cast<unsigned>(__builtin_clzll(value));  // 7 to 63
  const unsigned shift = top - SUB_BITS;
  const size_t sub = static_cast<size_t>(value >> shift) - (size_t{1} << SUB_BITS);
  return EXACT + (top - 7) * (size_t{1} << SUB_BITS) + sub;
}

uint64_t LogHistogram::bucket_low(size_t bucket) {
  if (bucket < EXACT) return bucket;
  const size_t above = bucket - EXACT;
  const unsigned shift = static_cast<unsigned>(above >> SUB_BITS) + 1;  // top bit - SUB_BITS
  const uint64_t sub = above & ((size_t{1} << SUB_BITS) - 1);
  return ((uint64_t{1} << SUB_BITS) + sub) << shift;
}

uint64_t LogHistogram::bucket_width(size_t bucket) {
  if (bucket < EXACT) return 1;
  return uint64_t{1} << (((bucket - EXACT) >> SUB_BITS) + 1);
}

void LogHistogram::reserve() {
  if (counts_.empty()) counts_.assign(BUCKETS, 0);
}

void LogHistogram::add(uint64_t value) {
  reserve();
  const size_t b = bucket_of(value);
  counts_[b]++;
  lowest_ = std::min(lowest_, b);
  highest_ = std::max(highest_, b);
  if (count_ == 0 || value < min_) min_ = value;
  if (count_ == 0 || value > max_) max_ = value;
  count_++;
}

void LogHistogram::clear() {
  // Only the buckets in use: a histogram cleared at every interval stays cheap.
  if (count_ != 0) std::fill(counts_.begin() + lowest_, counts_.begin() + highest_ + 1, 0);
  count_ = min_ = max_ = 0;
  lowest_ = BUCKETS;
  highest_ = 0;
}

double LogHistogram::value_at(uint64_t rank) const {
  uint64_t seen = 0;
  size_t b = lowest_;
  for (; b < highest_; b++) {
    seen += counts_[b];
    if (seen > rank) break;
  }
  // The middle of the integers the bucket holds, low to low + width - 1.
  const double middle = static_cast<double>(bucket_low(b)) +
                        static_cast<double>(bucket_width(b) - 1) / 2.0;
  return std::min(std::max(middle, static_cast<double>(min_)), static_cast<double>(max_));
}

double LogHistogram::quantile(double q) const {
  if (count_ == 0) return 0;
  q = std::min(std::max(q, 0.0), 1.0);
  const double h = static_cast<double>(count_ - 1) * q;
  const uint64_t below = static_cast<uint64_t>(std::floor(h));
  const double fraction = h - static_cast<double>(below);
  const double low = value_at(below);
  if (fraction <= 0 || below + 1 >= count_) return low;
  return low + fraction * (value_at(below + 1) - low);
}

uint64_t LogHistogram::count_between(uint64_t lo, uint64_t hi) const {
  if (count_ == 0 || lo >= hi) return 0;
  // Bucket edges: every value of bucket_of(lo) and beyond up to bucket_of(hi) lies
  // in [lo, hi).
  const size_t first = std::max(bucket_of(lo), lowest_);
  const size_t end = hi == UINT64_MAX ? highest_ + 1 : std::min(bucket_of(hi), highest_ + 1);
  uint64_t n = 0;
  for (size_t b = first; b < end; ++b) n += counts_[b];
  return n;
}
