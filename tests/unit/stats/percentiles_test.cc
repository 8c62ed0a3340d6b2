// The records' percentiles: only counted connections are added, and a handshake or
// FIN-to-FIN time only when the record knows it.
#include "stats/percentiles.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ostream>
#include <string>

namespace {

struct PercentileCase {
  const char* name;
  bool counted;
  int64_t handshake_us, fin_to_fin_us;
  // Values taken by duration, handshake, FIN to FIN, client bytes, server bytes.
  std::array<uint64_t, 5> counts;
};

// clang-format off
const PercentileCase CASES[] = {
    {"NotCounted",        false, 3500,  40000, {0, 0, 0, 0, 0}},
    {"CountedWithTimes",  true,  3500,  40000, {1, 1, 1, 1, 1}},
    {"TimesNotKnown",     true,  -1,    -1,    {1, 0, 0, 1, 1}},
    {"TimesOfZero",       true,  0,     0,     {1, 1, 1, 1, 1}},
    {"OnlyTheHandshake",  true,  3500,  -1,    {1, 1, 0, 1, 1}},
};
// clang-format on

void PrintTo(const PercentileCase& c, std::ostream* os) { *os << c.name; }

class PercentileAdd : public ::testing::TestWithParam<PercentileCase> {};

TEST_P(PercentileAdd, AddWhatTheRecordKnows) {
  const PercentileCase& c = GetParam();
  ConnRecord r;
  r.counted = c.counted;
  r.measured = true;
  r.duration_us = 250700;
  r.handshake_us = c.handshake_us;
  r.fin_to_fin_us = c.fin_to_fin_us;
  r.client_bytes = 501;
  r.server_bytes = 3001;
  RecordPercentiles p;
  percentiles_add(p, r);
  const LogHistogram* hists[] = {&p.duration_us, &p.handshake_us, &p.fin_to_fin_us, &p.client_bytes,
                                 &p.server_bytes};
  const int64_t values[] = {r.duration_us, r.handshake_us, r.fin_to_fin_us, 501, 3001};
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(hists[i]->count(), c.counts[i]);
    // Each value goes to its own histogram.
    if (c.counts[i] != 0) {
      EXPECT_EQ(hists[i]->max(), static_cast<uint64_t>(values[i]));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Percentiles, PercentileAdd, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
