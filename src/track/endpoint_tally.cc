#include "track/endpoint_tally.h"

#include <cmath>
#include <cstring>

#include "track/addr_pool.h"

namespace {

// splitmix64's finaliser: every bit of the key moves every bit of the hash.
uint64_t mix(uint64_t z) {
  z += 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// An IPv4 endpoint's key is its 48 bits. An IPv6 endpoint's number is only lent to
// its segment and may name another address later, so its key is the address itself
// and the port, folded to 62 bits with bit 62 set: above every IPv4 key, and below
// the top value that "stored + 1" must not wrap. Two IPv6 endpoints share a key
// about once in 2^62 pairs.
uint64_t key_of(const Endpoint& e, const AddrPool& pool) {
  if (e.family == Family::IPV4) return static_cast<uint64_t>(e.addr.raw) << 16 | e.port;
  uint64_t high, low;
  const Ip6Addr& a = pool_address(pool, e.addr.raw);
  std::memcpy(&high, a.bytes, 8);
  std::memcpy(&low, a.bytes + 8, 8);
  const uint64_t folded = mix(high) ^ mix(low ^ e.port);
  return (folded & ((uint64_t{1} << 62) - 1)) | uint64_t{1} << 62;
}

}  // namespace

void EndpointTally::add(const Endpoint& e, const AddrPool& pool) {
  const uint64_t key = key_of(e, pool);
  const uint64_t h = mix(key);
  if (!registers_.empty()) {
    add_hash(h);
    return;
  }
  if (set_.empty()) set_.assign(1024, 0);
  if ((size_ + 1) * 2 > set_.size()) {
    if (size_ + 1 > EXACT_LIMIT) {
      switch_to_estimate();
      add_hash(h);
      return;
    }
    // At most half full: the new set is built aside, so a failure changes nothing.
    std::vector<uint64_t> bigger(set_.size() * 2, 0);
    for (uint64_t stored : set_) {
      if (stored == 0) continue;
      size_t i = mix(stored - 1) & (bigger.size() - 1);
      while (bigger[i] != 0) i = (i + 1) & (bigger.size() - 1);
      bigger[i] = stored;
    }
    set_.swap(bigger);
  }
  const uint64_t stored = key + 1;
  size_t i = h & (set_.size() - 1);
  while (set_[i] != 0) {
    if (set_[i] == stored) return;
    i = (i + 1) & (set_.size() - 1);
  }
  set_[i] = stored;
  size_++;
}

void EndpointTally::switch_to_estimate() {
  std::vector<uint8_t> registers(size_t{1} << REGISTER_BITS, 0);
  registers_.swap(registers);
  for (uint64_t stored : set_)
    if (stored != 0) add_hash(mix(stored - 1));
  set_ = {};
  size_ = 0;
}

void EndpointTally::add_hash(uint64_t h) {
  const size_t r = h >> (64 - REGISTER_BITS);
  const uint64_t rest = h << REGISTER_BITS;
  // The position of the first 1 bit in the remaining bits, from 1.
  const uint8_t rank =
      rest == 0 ? 64 - REGISTER_BITS + 1 : static_cast<uint8_t>(__builtin_clzll(rest) + 1);
  if (rank > registers_[r]) registers_[r] = rank;
}

uint64_t EndpointTally::count() const {
  if (registers_.empty()) return size_;
  // The harmonic mean of 2^-register, corrected as Flajolet et al. do; below 5/2 of
  // the registers, where that mean is biased, the share of empty registers gives the
  // count (linear counting).
  const double m = static_cast<double>(registers_.size());
  double sum = 0;
  size_t empty = 0;
  for (uint8_t reg : registers_) {
    sum += std::ldexp(1.0, -reg);
    if (reg == 0) empty++;
  }
  const double alpha = 0.7213 / (1 + 1.079 / m);
  double estimate = alpha * m * m / sum;
  if (estimate <= 2.5 * m && empty != 0) estimate = m * std::log(m / static_cast<double>(empty));
  return static_cast<uint64_t>(std::llround(estimate));
}
