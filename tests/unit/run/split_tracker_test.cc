// Which file runs deal their clients between two trackers: only those whose report
// is made of sums, so that the order in which two clients' segments are tracked can
// never be seen. (That the split runs print what one thread prints is checked on
// whole captures beside the fast reader's own equivalence tests.)
#include <sched.h>

#include <cstdlib>

#include "run/split_tracker.h"
#include "unit/tracker_fixture.h"

namespace {

class SplitTrackerTest : public TrackerTest {};

TEST_F(SplitTrackerTest, OnlyRunsWhoseReportIsSumsSplit) {
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  if (CPU_COUNT(&set) < 2) GTEST_SKIP() << "one processor: no run splits";
  struct Case {
    std::vector<std::string> options;
    bool splits;
  };
  const Case cases[] = {
      {{}, true},
      {{"-R", "-T", "-P", "-n", "5", "-s", "3"}, true},
      {{"-V", "1"}, true},
      {{"-V", "999"}, false},  // lists the table in its order
      {{"-D", "0"}, false},    // lists connections as they were counted
      {{"-c", "2"}, false},    // prints as they are counted
      {{"-d"}, false},
      {{"--json"}, false},
      {{"--conns", "/dev/null", "--conns-format", "csv"}, false},
      {{"--interval", "10", "--intervals", "/dev/null", "--intervals-format", "csv"}, false},
      {{"--summary"}, false},
      {{"--html", "/dev/null"}, false},
      {{"--max-conns", "10"}, false},
      {{"--decode-all"}, true},  // each side numbers its IPv6 addresses itself
      {{"--syn-timeout", "5"}, false},
  };
  for (const Case& c : cases) {
    start(c.options);
    EXPECT_EQ(TrackerSplit::wanted(run()), c.splits) << testing::PrintToString(c.options);
  }
  // The benchmark's one-thread baseline, and a run with a memory limit.
  start();
  setenv("PORTSIFT_TRACKER_THREADS", "1", 1);
  EXPECT_FALSE(TrackerSplit::wanted(run()));
  unsetenv("PORTSIFT_TRACKER_THREADS");
  run().memory.left = 100;
  EXPECT_FALSE(TrackerSplit::wanted(run()));
}

TEST_F(SplitTrackerTest, SeveralPortsDoNotSplit) {
  start({"-p", "80,443"});
  EXPECT_FALSE(TrackerSplit::wanted(run()));
}

}  // namespace
