// msecs_between: borrowing, truncation, backwards time and 32-bit wrapping.
#include "common/time.h"

#include <gtest/gtest.h>

#include "common/trace.h"
#include "testlib/captured_stream.h"

namespace {

struct Case {
  Timeval earlier, later;
  int32_t ms;
};

TEST(MsecsBetween, Table) {
  const Case cases[] = {
      {{100, 0}, {100, 250700}, 250},       // truncates toward zero
      {{100, 900000}, {101, 100000}, 200},  // borrows a second
      {{100, 0}, {100, 999}, 0},
      {{100, 0}, {130, 0}, 30000},
      {{100, 500}, {100, 400}, 0},   // backwards by microseconds
      {{101, 0}, {100, 999999}, 0},  // backwards across a second
      {{0, 0}, {2147483, 647999}, 2147483647},
      {{0, 0}, {2147483, 648000}, INT32_MIN},  // wraps as a signed 32-bit value
      {{0, 0}, {4294967, 296000}, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(msecs_between(c.earlier, c.later), c.ms)
        << c.earlier.sec << "." << c.earlier.usec << " -> " << c.later.sec << "." << c.later.usec;
}

TEST(MsecsBetween, BackwardsTimeIsToldAndTracedOnlyWithDebug) {
  bool backwards = false;
  EXPECT_EQ(msecs_between({5, 7}, {5, 9}, &backwards), 0);
  EXPECT_FALSE(backwards);
  EXPECT_EQ(msecs_between({5, 7}, {4, 9}, &backwards), 0);
  EXPECT_TRUE(backwards);

  testlib::CapturedStream trace;
  EXPECT_EQ(traced_msecs_between(trace.file(), 0, {5, 7}, {4, 9}), 0);
  EXPECT_EQ(trace.take(), "");
  EXPECT_EQ(traced_msecs_between(trace.file(), 1, {5, 7}, {5, 1007}), 1);
  EXPECT_EQ(trace.take(), "");
  EXPECT_EQ(traced_msecs_between(trace.file(), 1, {5, 7}, {4, 9}), 0);
  const std::string out = trace.take();
  EXPECT_EQ(out,
            "trace.cc:" + out.substr(9, out.find(':', 9) - 9) + ":Bad value of time:5/7, 4/9\n\n");
}

// Microseconds back to a time, before the epoch too: the inverse of usecs_of.
TEST(TimevalOfUsecs, InvertsUsecsOf) {
  const struct {
    int64_t us;
    Timeval t;
  } cases[] = {{0, {0, 0}},
               {1796866260512000, {1796866260, 512000}},
               {-1, {-1, 999999}},
               {-1000000, {-1, 0}},
               {-1500000, {-2, 500000}}};
  for (const auto& c : cases) {
    const Timeval t = timeval_of_usecs(c.us);
    EXPECT_EQ(t.sec, c.t.sec) << c.us;
    EXPECT_EQ(t.usec, c.t.usec) << c.us;
    EXPECT_EQ(usecs_of(t), c.us);
  }
}

}  // namespace
