// The report is written to any stream and leaves the run's records as they were,
// so it can be written twice; every variant goes to the stream it is given.
#include "report/summary.h"
#include "stats/run_clock.h"
#include "unit/tracker_fixture.h"

using namespace testlib;

namespace {

class Report : public TrackerTest {
 protected:
  void SetUp() override {
    TrackerTest::SetUp();
    example();
  }

  // The worked example in a new run with these options: 501 and 3001 bytes in
  // 250 ms, and a SYN never answered.
  void example(const std::vector<std::string>& options = {}) {
    start(options);
    RunClock& clock = run().clock;
    clock.start_time = Timeval{100, 0};
    clock.end_time = Timeval{102, 0};
    clock.window_start = Timeval{99, 0};
    clock.packet_count = 4;
    feed(100, 0, syn(1000));
    feed(100, 3500, synack(9000, 1001));
    feed(100, 250700, client_fin(1501, 12001));
    Seg unanswered = syn(7000);
    unanswered.sport = 6000;
    feed(101, 0, unanswered);
  }

  std::string report() {
    CapturedStream stream;
    write_report(run(), monitor(), stream.file());
    return stream.take();
  }
};

TEST_F(Report, WrittenTwiceToAnyStreamTheSame) {
  const std::string first = report();
  EXPECT_EQ(report(), first);
  EXPECT_EQ(out(), "");  // nothing went to the run's own streams
  EXPECT_NE(first.find("Results of monitoring port 80 for 3.000000 seconds\n"
                       "Start time: Thu Jan  1 00:01:40 1970\n"),
            std::string::npos)
      << first;
  EXPECT_NE(first.find("Number of unique connections dropped by the server: 1\n"),
            std::string::npos);
  EXPECT_NE(
      first.find("\n  240 - 260          1(100.00%)      501      3001       -       13.00\n"),
      std::string::npos)
      << first;
}

TEST_F(Report, VariantsGoToTheGivenStream) {
  example({"-V", "1"});
  EXPECT_EQ(report(),
            "Results of monitoring port 80 for 3.000000 seconds\n"
            "Total Connections: 1\nAvg Client Data: 501 bytes\nAvg Server Data: 3001 bytes\n"
            "Avg conn time: 250 msecs\n"
            "Total number of SYNs: 2 (duplicates: 0)\n"
            "Number of SYNs taken to establish connections: 1\n"
            "Avg no. of SYNs to establish a connection:  1.00\n"
            "Number of unique connections that never completed: 1\n"
            "Number of SYNs from incomplete connections: 1\n"
            "Number of established connections in progress: 1\n"
            "Distribution of SYNs to establsh connections (nSYNs:nConns): 1:1,\n");
  example({"-V", "999", "-m", "1000"});
  EXPECT_EQ(report(),
            "2, 3.000000 1\n"
            "Connections in Progress for longer than 1000 msecs:\n"
            "2000(1):host 10.0.0.1 and port 5555\n"
            "Connections without SYN|ACK:\n"
            "NOSYNACK:host 10.0.0.1 and port 6000\n");
  EXPECT_EQ(out(), "");
}

}  // namespace
