// Which file runs deal their clients between two trackers: only those whose report
// is made of sums, so that the order in which two clients' segments are tracked can
// never be seen. (That the split runs print what one thread prints is checked on
// whole captures beside the fast reader's own equivalence tests.)
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

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

// A control group's CPU quota, its own or an ancestor's, keeps a run on one thread
// where it allows less than two processors.
TEST(CgroupCpuQuota, TheLeastOfTheGroupAndItsAncestors) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("portsift-cgroup-" + std::to_string(getpid()));
  fs::remove_all(root);
  auto write = [&](const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  };
  write(root / "a/b/cpu.max", "max 100000");
  write(root / "a/cpu.max", "150000 100000");
  write(root / "cpu,cpuacct/x/y/cpu.cfs_quota_us", "-1");
  write(root / "cpu,cpuacct/x/y/cpu.cfs_period_us", "100000");
  write(root / "cpu,cpuacct/x/cpu.cfs_quota_us", "300000");
  write(root / "cpu,cpuacct/x/cpu.cfs_period_us", "100000");
  struct Case {
    const char* groups;
    double quota;
  };
  const Case cases[] = {
      {"0::/a/b\n", 1.5},                        // v2: the parent's 1.5 bounds the child's "max"
      {"0::/a\n", 1.5},
      {"0::/elsewhere\n", 0},                    // no quota anywhere
      {"3:cpu,cpuacct:/x/y\n0::/\n", 3},         // v1: the parent's 3 processors
      {"4:memory:/m\n3:cpu,cpuacct:/x/y\n0::/a/b\n", 1.5},  // both: the least
      {"", 0},
      {"garbage\n::\n", 0},
  };
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(cgroup_cpu_quota(c.groups, root.string()), c.quota) << c.groups;
  fs::remove_all(root);
}

}  // namespace
