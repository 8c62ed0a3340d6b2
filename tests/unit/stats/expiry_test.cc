// Expiry by the packets' clock: an unanswered attempt, a closing connection and (with
// --max-age) an established one each leave the table just after their time and not
// before; what they leave behind in the counts; a timeout of 0 never expires; the
// sweep of a run runs at most once a second.
#include "stats/expiry.h"

#include <optional>
#include <string>
#include <vector>

#include "run/service.h"
#include "stats/monitor.h"
#include "unit/tracker_fixture.h"

using namespace testlib;

namespace {

constexpr int64_t T = 100;  // the seconds of the first SYN

class Expiry : public TrackerTest {
 protected:
  // Three records at T: 1001 waits for a SYN-ACK (its SYN repeated at T + 1),
  // 1002 is established, 1003 closing since its client's FIN at T + 2.
  void three_records() {
    feed(T, 0, on_client_port(syn(1000), 1001));
    feed(T + 1, 0, on_client_port(syn(1000), 1001));
    feed(T, 0, on_client_port(syn(2000), 1002));
    feed(T, 100, on_client_port(synack(9000, 2001), 1002));
    feed(T, 0, on_client_port(syn(3000), 1003));
    feed(T, 100, on_client_port(synack(8000, 3001), 1003));
    feed(T + 2, 0, on_client_port(client_fin(3001, 8001), 1003));
  }
  // The client ports whose records are still in the table.
  std::vector<uint16_t> held() {
    std::vector<uint16_t> ports;
    for (uint16_t p : {1001, 1002, 1003})
      if (client("10.0.0.1", p) != nullptr) ports.push_back(p);
    return ports;
  }
  void expire_at(int64_t sec, int64_t usec = 0) {
    expire_records(monitor(), Timeval{sec, usec}, 1 << 20);
  }
};

struct ExpiryCase {
  const char* name;
  std::vector<std::string> options;
  int64_t sec, usec;  // when the sweep runs
  std::vector<uint16_t> held;
};

void PrintTo(const ExpiryCase& c, std::ostream* os) { *os << c.name; }

const std::vector<std::string> ALL = {"--syn-timeout", "5", "--closing-timeout", "3",
                                      "--max-age", "10"};

const ExpiryCase CASES[] = {
    // The SYN timeout runs from the last SYN (T + 1), the closing one from the FIN.
    {"NothingYet", ALL, T + 4, 0, {1001, 1002, 1003}},
    {"ClosingAtItsTime", ALL, T + 5, 0, {1001, 1002, 1003}},
    {"ClosingJustAfter", ALL, T + 5, 1, {1001, 1002}},
    {"AttemptAtItsTime", ALL, T + 6, 0, {1001, 1002}},
    {"AttemptJustAfter", ALL, T + 6, 1, {1002}},
    {"EstablishedAtMaxAge", ALL, T + 10, 0, {1002}},
    {"EstablishedAfterMaxAge", ALL, T + 10, 1, {}},
    // Without --max-age an established connection stays however old it is.
    {"NoMaxAge", {"--syn-timeout", "5", "--closing-timeout", "3"}, T + 100000, 0, {1002}},
    {"ZeroNeverExpires", {"--syn-timeout", "0", "--closing-timeout", "0"}, T + 100000, 0,
     {1001, 1002, 1003}},
    {"NoOptions", {}, T + 100000, 0, {1001, 1002, 1003}},
    {"Fractions", {"--syn-timeout", "0.5"}, T + 1, 500001, {1002, 1003}},
};

class ExpiryTimes : public Expiry, public ::testing::WithParamInterface<ExpiryCase> {};

TEST_P(ExpiryTimes, EachRecordLeavesJustAfterItsTime) {
  const ExpiryCase& c = GetParam();
  start(c.options);
  three_records();
  expire_at(c.sec, c.usec);
  EXPECT_EQ(held(), c.held);
}

INSTANTIATE_TEST_SUITE_P(Expiry, ExpiryTimes, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Expiry, WhatLeavesIsStillCountedWhereTheReportCountsIt) {
  start(ALL);
  three_records();
  const OpenCounts before = count_open_connections(monitor());
  expire_at(T + 20);
  const Monitor& m = monitor();
  EXPECT_EQ(m.expired.unanswered, 1u);
  EXPECT_EQ(m.expired.unanswered_syns, 2u);
  EXPECT_EQ(m.expired.established, 1u);
  EXPECT_EQ(m.expired.closing, 1u);
  EXPECT_EQ(m.states.syn_seen + m.states.established + m.states.closing, 0u);
  // The attempt the server never answered is still one it dropped; the others are
  // no longer in progress.
  const OpenCounts after = count_open_connections(m);
  EXPECT_EQ(after.never_completed, before.never_completed);
  EXPECT_EQ(after.incomplete_syns, before.incomplete_syns);
  EXPECT_EQ(after.in_progress, 0);
  // The closing connection was counted at its FIN, and stays counted.
  EXPECT_EQ(m.totals.nconns, 1);
}

TEST_F(Expiry, ARepeatedSynRestartsTheAttemptsTime) {
  start({"--syn-timeout", "5"});
  feed(T, 0, on_client_port(syn(1000), 1001));
  feed(T + 4, 0, on_client_port(syn(1000), 1001));
  expire_at(T + 6);
  EXPECT_NE(client("10.0.0.1", 1001), nullptr);
  expire_at(T + 9, 1);
  EXPECT_EQ(client("10.0.0.1", 1001), nullptr);
}

TEST_F(Expiry, ASweepLooksAtPartOfTheTableAndGoesOnWhereItStopped) {
  start({"--syn-timeout", "1"});
  constexpr int N = 3000;
  for (int i = 0; i < N; ++i) feed(T, 0, on_client_port(syn(1000), static_cast<uint16_t>(2000 + i)));
  expire_records(monitor(), Timeval{T + 5, 0}, 1000);
  EXPECT_EQ(conn_count(monitor().table), 2000u);
  expire_records(monitor(), Timeval{T + 5, 0}, 2000);
  EXPECT_EQ(conn_count(monitor().table), 0u);
  EXPECT_EQ(monitor().expired.unanswered, static_cast<uint64_t>(N));
  // A large table is swept a tenth at a time.
  EXPECT_EQ(expiry_budget(monitor()), ConnTable::CHUNK_SIZE);
}

TEST_F(Expiry, TheRunSweepsAtMostOnceASecond) {
  start({"--syn-timeout", "1"});
  feed(T, 0, on_client_port(syn(1000), 1001));
  sweep_expired(run(), Timeval{T, 500000});  // the first sweep: nothing is due yet
  feed(T, 600000, on_client_port(syn(1000), 1002));
  sweep_expired(run(), Timeval{T + 1, 400000});  // within the second: no sweep
  EXPECT_NE(client("10.0.0.1", 1001), nullptr);
  sweep_expired(run(), Timeval{T + 1, 500000});  // 1001 is due, 1002 is not
  EXPECT_EQ(client("10.0.0.1", 1001), nullptr);
  EXPECT_NE(client("10.0.0.1", 1002), nullptr);
}

}  // namespace
