#include "track/port_set.h"

PortSet PortSet::of(const std::vector<uint16_t>& ports) {
  PortSet s;
  for (uint16_t p : ports) s.bits_[p >> 6] |= uint64_t{1} << (p & 63);
  const auto r = s.ranges();
  if (!r.empty()) s.first_ = r.front().first;
  s.single_ = r.size() == 1 && r.front().first == r.front().second;
  return s;
}

PortSet PortSet::every_port() {
  PortSet s;
  s.bits_.fill(~uint64_t{0});
  s.every_ = true;
  return s;
}

std::vector<std::pair<uint16_t, uint16_t>> PortSet::ranges() const {
  std::vector<std::pair<uint16_t, uint16_t>> out;
  for (uint32_t p = 0; p < 65536; ++p) {
    if (((bits_[p >> 6] >> (p & 63)) & 1) == 0) continue;
    uint32_t q = p;
    while (q + 1 < 65536 && ((bits_[(q + 1) >> 6] >> ((q + 1) & 63)) & 1) != 0) ++q;
    out.emplace_back(static_cast<uint16_t>(p), static_cast<uint16_t>(q));
    p = q;
  }
  return out;
}
