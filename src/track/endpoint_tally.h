// Counts distinct endpoints in bounded memory (at most 80 KB): exactly up to
// EXACT_LIMIT of them, then as an estimate (HyperLogLog, about 0.8 % standard error).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/addr.h"

struct AddrPool;

class EndpointTally {
 public:
  static constexpr size_t EXACT_LIMIT = size_t{1} << 12;  // 64 KB of set at the most

  // Counts `e` unless it was counted before; an IPv6 endpoint's address is read from
  // `pool`. Throws std::bad_alloc when memory runs out, leaving the tally as it was.
  void add(const Endpoint& e, const AddrPool& pool);
  uint64_t count() const;
  // Whether count() is an estimate rather than an exact figure.
  bool estimated() const { return !registers_.empty(); }

 private:
  static constexpr uint32_t REGISTER_BITS = 14;  // 16 384 one-byte registers

  void add_hash(uint64_t h);
  void switch_to_estimate();

  std::vector<uint64_t> set_;  // open addressing; 0 is empty, a key is stored + 1
  size_t size_ = 0;
  std::vector<uint8_t> registers_;
};
