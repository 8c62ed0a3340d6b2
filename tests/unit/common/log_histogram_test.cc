// The log-bucketed histogram: its buckets tile every 64-bit value with a width of
// at most 1/64 of their start (the bound), and its quantiles, compared with exact
// ones on awkward data, stay within 1/128 of them.
#include "common/log_histogram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace {

TEST(LogHistogram, BucketsTileEveryValueWithinTheBound) {
  uint64_t expected_low = 0;
  for (size_t b = 0; b < LogHistogram::BUCKETS; ++b) {
    SCOPED_TRACE(b);
    const uint64_t low = LogHistogram::bucket_low(b);
    const uint64_t width = LogHistogram::bucket_width(b);
    ASSERT_EQ(low, expected_low);  // no gap, no overlap
    ASSERT_EQ(LogHistogram::bucket_of(low), b);
    ASSERT_EQ(LogHistogram::bucket_of(low + (width - 1)), b);
    // The bound: any value of the bucket lies within (width - 1) / 2 of its middle,
    // and width <= low / 64, so within 1/128 of the value.
    if (width > 1) {
      ASSERT_LE(width * 64, low);
    }
    expected_low = low + width;  // wraps to 0 after the last bucket
  }
  EXPECT_EQ(expected_low, 0u);  // the last bucket ends at 2^64
  EXPECT_EQ(LogHistogram::bucket_of(UINT64_MAX), LogHistogram::BUCKETS - 1);
}

// The quantile numpy.percentile computes by default: linear between the closest ranks
// of the sorted values.
double exact_quantile(const std::vector<uint64_t>& v, double q) {
  const double h = static_cast<double>(v.size() - 1) * q;
  const size_t lo = static_cast<size_t>(std::floor(h));
  const double f = h - static_cast<double>(lo);
  const double a = static_cast<double>(v[lo]);
  return lo + 1 < v.size() ? a + f * (static_cast<double>(v[lo + 1]) - a) : a;
}

TEST(LogHistogram, QuantilesStayWithinTheBoundOfExactOnes) {
  std::mt19937_64 rng(7);
  const struct {
    const char* name;
    std::function<std::vector<uint64_t>()> values;
  } cases[] = {
      {"one value", [] { return std::vector<uint64_t>{123456}; }},
      {"two far apart", [] { return std::vector<uint64_t>{1, 1000000}; }},
      {"small integers, exact", [] {
         std::vector<uint64_t> v;
         for (uint64_t i = 0; i < 300; ++i) v.push_back(i % 150);
         return v;
       }},
      {"log-uniform, 1 us to 3 hours", [&] {
         std::vector<uint64_t> v;
         std::uniform_real_distribution<double> exponent(0, std::log(1.08e10));
         for (int i = 0; i < 100000; ++i) v.push_back(static_cast<uint64_t>(std::exp(exponent(rng))));
         return v;
       }},
      {"every bucket's edges", [] {
         std::vector<uint64_t> v;
         for (size_t b = 0; b < LogHistogram::BUCKETS; b += 7) {
           v.push_back(LogHistogram::bucket_low(b));
           v.push_back(LogHistogram::bucket_low(b) + LogHistogram::bucket_width(b) - 1);
         }
         return v;
       }},
      {"mostly one value, a long tail", [&] {
         std::vector<uint64_t> v(5000, 40000);
         for (int i = 0; i < 60; ++i) v.push_back(40000 + rng() % 50000000);
         return v;
       }},
      {"32-bit byte counts", [&] {
         std::vector<uint64_t> v;
         for (int i = 0; i < 20000; ++i) v.push_back(rng() >> (32 + rng() % 32));
         return v;
       }},
  };
  std::vector<double> qs = {0, 0.5, 0.9, 0.99, 0.999, 1};
  std::uniform_real_distribution<double> any_q(0, 1);
  for (int i = 0; i < 40; ++i) qs.push_back(any_q(rng));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint64_t> values = c.values();
    std::sort(values.begin(), values.end());
    LogHistogram h;
    for (uint64_t v : values) h.add(v);
    ASSERT_EQ(h.count(), values.size());
    EXPECT_EQ(h.max(), *std::max_element(values.begin(), values.end()));
    for (double q : qs) {
      const double exact = exact_quantile(values, q);
      EXPECT_LE(std::fabs(h.quantile(q) - exact), exact / 128 + 1e-9 * exact) << "q=" << q;
    }
  }
}

TEST(LogHistogram, ClearForgetsEveryValue) {
  LogHistogram h;
  for (uint64_t v : {5u, 900u, 70000u}) h.add(v);
  h.clear();
  EXPECT_EQ(h.count(), 0u);
  h.add(40);
  h.add(60);
  EXPECT_EQ(h.quantile(0), 40);
  EXPECT_EQ(h.quantile(0.5), 50);
  EXPECT_EQ(h.max(), 60u);
}

// Between powers of two, which are bucket edges, the counts are exact: the page's
// distributions are drawn from them.
TEST(LogHistogram, CountsBetweenPowersOfTwoAreExact) {
  LogHistogram h;
  const uint64_t values[] = {0, 1, 3, 127, 128, 255, 256, 1000, 4095, 4096, 1u << 20, UINT64_MAX};
  for (uint64_t v : values) h.add(v);
  const struct {
    uint64_t lo, hi, n;
  } ranges[] = {{0, 1, 1},       {1, 2, 1},         {2, 4, 1},  {64, 128, 1},
                {128, 256, 2},   {256, 512, 1},     {512, 1024, 1}, {2048, 4096, 1},
                {4096, 8192, 1}, {1u << 20, 1u << 21, 1}, {0, UINT64_MAX, 12},
                {5, 5, 0}};
  for (const auto& r : ranges) EXPECT_EQ(h.count_between(r.lo, r.hi), r.n) << r.lo << "-" << r.hi;
  EXPECT_EQ(LogHistogram().count_between(0, 100), 0u);
}

}  // namespace
