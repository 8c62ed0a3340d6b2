// Histograms with fixed bucket bounds, as a scraper reads them: a count per bucket,
// and the exact count and sum of what was observed. Unlike LogHistogram (quantiles
// in one process), these add up across processes and hosts, bucket by bucket.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The bounds, in the values' own units (microseconds, bytes), ascending.
struct HistogramBounds {
  const uint64_t* bounds;
  size_t size;
};

// Handshake times: from 10 us (loopback) to a minute (retransmitted SYNs over a long
// link), about three buckets a decade.
constexpr uint64_t HANDSHAKE_BOUNDS_US[] = {10,      25,      50,       100,      250,     500,
                                            1000,    2500,    5000,     10000,    25000,   50000,
                                            100000,  250000,  500000,   1000000,  2500000, 5000000,
                                            10000000, 30000000, 60000000};
// Connection durations: from 100 us to an hour.
constexpr uint64_t DURATION_BOUNDS_US[] = {100,       1000,      10000,     50000,
                                           100000,    250000,    500000,    1000000,
                                           2500000,   5000000,   10000000,  30000000,
                                           60000000,  300000000, 900000000, 3600000000};
// Bytes a side sent: powers of four from 64 B to 1 GiB.
constexpr uint64_t BYTE_BOUNDS[] = {64,      256,      1024,      4096,      16384,
                                    65536,   262144,   1048576,   4194304,   16777216,
                                    67108864, 268435456, 1073741824};

constexpr HistogramBounds HANDSHAKE_BUCKETS{HANDSHAKE_BOUNDS_US, std::size(HANDSHAKE_BOUNDS_US)};
constexpr HistogramBounds DURATION_BUCKETS{DURATION_BOUNDS_US, std::size(DURATION_BOUNDS_US)};
constexpr HistogramBounds BYTE_BUCKETS{BYTE_BOUNDS, std::size(BYTE_BOUNDS)};

class ExpositionHistogram {
 public:
  static constexpr size_t MAX_BOUNDS = 24;

  explicit ExpositionHistogram(HistogramBounds bounds) : bounds_(bounds) {}

  void add(uint64_t value) {
    size_t i = 0;
    while (i < bounds_.size && value > bounds_.bounds[i]) ++i;
    counts_[i]++;  // i == size: above every bound
    count_++;
    sum_ += value;
  }

  const HistogramBounds& bounds() const { return bounds_; }
  // Values in bucket i alone (not cumulative): at most bounds[i], above bounds[i - 1];
  // bucket size() holds those above every bound.
  uint64_t in_bucket(size_t i) const { return counts_[i]; }
  uint64_t count() const { return count_; }
  uint64_t sum() const { return sum_; }

 private:
  HistogramBounds bounds_;
  std::array<uint64_t, MAX_BOUNDS + 1> counts_{};
  uint64_t count_ = 0;
  uint64_t sum_ = 0;
};

// What a continuous run exposes of one port's connections.
struct ExposedHistograms {
  ExpositionHistogram handshake_us{HANDSHAKE_BUCKETS};  // SYN to the SYN-ACK that answered it
  ExpositionHistogram duration_us{DURATION_BUCKETS};    // SYN to the first FIN, counted ones
  ExpositionHistogram client_bytes{BYTE_BUCKETS};
  ExpositionHistogram server_bytes{BYTE_BUCKETS};
};
