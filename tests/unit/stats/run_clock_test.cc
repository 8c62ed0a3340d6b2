// The run's clock: a file run's packets set its start and end, the window opens one
// second before the start or at the -I time, only its whole seconds filter packets,
// a live run without packets still opens it, and a backwards span is traced.
#include "stats/run_clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ostream>
#include <string>
#include <vector>

#include "common/settings.h"
#include "run/command_line.h"
#include "testlib/argv.h"
#include "testlib/captured_stream.h"
#include "testlib/runner.h"

namespace {

// 2024-03-05 13:45:10 UTC.
constexpr int64_t MARCH_5_13_45_10 = 1709646310;

void expect_time(const Timeval& t, int64_t sec, int64_t usec) {
  EXPECT_EQ(t.sec, sec);
  EXPECT_EQ(t.usec, usec);
}

// The time of day and the date in the window depend on the zone: every test runs
// in UTC unless it says otherwise, and leaves the zone as it found it.
class RunClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) saved_tz_ = tz;
    zone("UTC");
  }
  void TearDown() override {
    if (had_tz_)
      setenv("TZ", saved_tz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  static void zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

 private:
  bool had_tz_ = false;
  std::string saved_tz_;
};

TEST_F(RunClockTest, FirstPacketIsTheStartEveryPacketTheEnd) {
  RunClock c;
  clock_file_packet(c, Timeval{100, 5});
  EXPECT_TRUE(c.first_packet_seen);
  expect_time(c.start_time, 100, 5);
  expect_time(c.end_time, 100, 5);
  // The end is the latest packet delivered, even one older than those before.
  for (const Timeval& t : {Timeval{102, 7}, Timeval{99, 0}}) {
    clock_file_packet(c, t);
    expect_time(c.start_time, 100, 5);
    expect_time(c.end_time, t.sec, t.usec);
  }
}

// Settings as the command line "-p 80 -r capture.pcap" and `options` leave them.
Settings settings_of(const std::vector<std::string>& options) {
  std::vector<std::string> words = {"portsift", "-p", "80", "-r", "capture.pcap"};
  words.insert(words.end(), options.begin(), options.end());
  testlib::Argv argv(words);
  Settings s;
  const ParseResult parsed = parse_options(argv.argc(), argv.argv(), &s);
  EXPECT_TRUE(parsed.run) << parsed.err;
  return s;
}

TEST_F(RunClockTest, WindowWithoutSinceOpensOneSecondBeforeTheStart) {
  RunClock c;
  const Timeval first{MARCH_5_13_45_10, 250000};
  clock_file_packet(c, first);
  open_window(c, settings_of({}), first);
  expect_time(c.window_start, MARCH_5_13_45_10 - 1, 250000);
}

struct SinceCase {
  const char* name;
  const char* zone;
  const char* since;  // the -I text
  int64_t first_packet;
  int64_t window_start;
};

// clang-format off
const SinceCase SINCE_CASES[] = {
    // A time of day on the first packet's date, before or after the packet.
    {"EarlierThatDay", "UTC", "12:00:00", MARCH_5_13_45_10, 1709640000},
    {"LaterThatDay", "UTC", "23:59:59", MARCH_5_13_45_10, 1709683199},
    {"FullDate", "UTC", "2023-12-31.06:30:15", MARCH_5_13_45_10, 1704004215},
    // A year of 0 in the calendar record: still a date.
    {"DateIn1900", "UTC", "1900-01-01.00:00:00", MARCH_5_13_45_10, -2208988800},
    // Five hours east of UTC, 20:00 UTC is already the 6th: 00:30 local that day is
    // 19:30 UTC on the 5th.
    {"LocalDate", "XYZ-5", "00:30:00", 1709668800, 1709667000},
    {"FullDateInLocalTime", "XYZ-5", "2023-12-31.06:30:15", MARCH_5_13_45_10,
     1704004215 - 5 * 3600},
};
// clang-format on

void PrintTo(const SinceCase& c, std::ostream* os) { *os << c.name; }

class RunClockSince : public RunClockTest, public ::testing::WithParamInterface<SinceCase> {};

TEST_P(RunClockSince, WindowOpensAtTheGivenTime) {
  const SinceCase& c = GetParam();
  zone(c.zone);
  const Settings s = settings_of({"-I", c.since});
  ASSERT_TRUE(s.has_since);
  RunClock clock;
  const Timeval first{c.first_packet, 750000};
  clock_file_packet(clock, first);
  open_window(clock, s, first);
  expect_time(clock.window_start, c.window_start, 0);  // the packet's microseconds go
}

INSTANTIATE_TEST_SUITE_P(RunClock, RunClockSince, ::testing::ValuesIn(SINCE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunClockTest, SinceFieldsReadAsAtStartUp) {
  // The calendar record alone decides: strptime() into a zeroed one, as start-up
  // reads the -I text, without the rest of the command line.
  Settings s;
  s.has_since = true;
  s.since_text = "12:00:00";
  std::memset(&s.since_fields, 0, sizeof s.since_fields);
  ASSERT_NE(strptime(s.since_text.c_str(), since_format(s.since_text), &s.since_fields), nullptr);
  RunClock c;
  open_window(c, s, Timeval{MARCH_5_13_45_10, 0});
  expect_time(c.window_start, 1709640000, 0);
}

TEST_F(RunClockTest, InWindowComparesWholeSeconds) {
  RunClock c;
  c.window_start = Timeval{99, 250000};
  const struct {
    Timeval now;
    bool in;
  } cases[] = {
      // clang-format off
      {{98, 999999}, false},
      {{99, 0}, false},
      {{99, 250001}, false},  // later within the window's second: still out
      {{99, 999999}, false},
      {{100, 0}, true},
      {{100, 250000}, true},
      // clang-format on
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::to_string(k.now.sec) + "." + std::to_string(k.now.usec));
    EXPECT_EQ(in_window(c, k.now), k.in);
  }
}

TEST_F(RunClockTest, LiveRunWithoutPacketsOpensTheWindowAtTheEnd) {
  RunClock idle;
  idle.start_time = Timeval{100, 400000};
  end_live_clock(idle, Timeval{160, 500000});
  expect_time(idle.end_time, 160, 500000);
  expect_time(idle.window_start, 99, 400000);
  EXPECT_EQ(run_length_ms(idle, stderr, 0), 61100);

  // With packets the window is the one the first packet opened.
  RunClock busy;
  busy.start_time = Timeval{100, 400000};
  busy.packet_count = 1;
  busy.window_start = Timeval{50, 0};
  end_live_clock(busy, Timeval{160, 500000});
  expect_time(busy.end_time, 160, 500000);
  expect_time(busy.window_start, 50, 0);
}

TEST_F(RunClockTest, RunLengthTracesABackwardsSpanAtDebugOne) {
  const struct {
    Timeval window, end;
    int debug;
    int32_t ms;
    const char* trace;
  } cases[] = {
      {{99, 250000}, {102, 0}, 1, 2750, ""},
      {{102, 0}, {102, 0}, 1, 0, ""},
      {{102, 1}, {102, 0}, 0, 0, ""},
      {{102, 1}, {102, 0}, 1, 0, "FILE:LINE:Bad value of time:102/1, 102/0\n\n"},
      {{103, 0}, {102, 500}, 2, 0, "FILE:LINE:Bad value of time:103/0, 102/500\n\n"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::to_string(k.window.sec) + "." + std::to_string(k.window.usec) + " -d " +
                 std::to_string(k.debug));
    RunClock c;
    c.window_start = k.window;
    c.end_time = k.end;
    testlib::CapturedStream trace;
    EXPECT_EQ(run_length_ms(c, trace.file(), k.debug), k.ms);
    EXPECT_EQ(testlib::normalize_prefix(trace.take()), k.trace);
  }
}

}  // namespace
