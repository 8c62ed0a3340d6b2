// The server ports a run watches: a set of port numbers, or every port (-p any),
// tested in a few instructions for each segment's two ports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

class PortSet {
 public:
  // The ports of `ports` (duplicates are harmless); none: an empty set.
  static PortSet of(const std::vector<uint16_t>& ports);
  static PortSet every_port();

  bool contains(uint16_t port) const {
    if (single_) return port == first_;
    return ((bits_[port >> 6] >> (port & 63)) & 1) != 0;
  }
  bool every() const { return every_; }
  // Exactly one port: the classic run.
  bool single() const { return single_; }
  uint16_t first() const { return first_; }  // the lowest port; 0 for every port

  // Runs of consecutive ports, ascending: {80, 80}, {8000, 8010}.
  std::vector<std::pair<uint16_t, uint16_t>> ranges() const;

 private:
  std::array<uint64_t, 1024> bits_{};  // 65 536 bits, 8 KB
  bool every_ = false;
  bool single_ = false;
  uint16_t first_ = 0;
};
