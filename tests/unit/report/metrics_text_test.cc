// The exposition: exact values for a run of known connections (counters by outcome,
// histogram buckets and their exact sums in seconds, the states of the records),
// seconds printed exactly, and promtool's own check of the text.
#include "report/metrics_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "stats/expiry.h"
#include "testlib/runner.h"
#include "unit/tracker_fixture.h"

using namespace testlib;

namespace {

TEST(MicrosAsSeconds, Exactly) {
  const struct {
    uint64_t us;
    const char* text;
  } cases[] = {{0, "0"},          {10, "0.00001"},       {2500000, "2.5"}, {1000000, "1"},
               {1, "0.000001"},   {123456789, "123.456789"}, {60000000, "60"},
               {18446744073709551615u, "18446744073709.551615"}};
  for (const auto& c : cases) EXPECT_EQ(micros_as_seconds(c.us), c.text) << c.us;
}

class Exposition : public TrackerTest {
 protected:
  // Port 80's run: one connection measured (handshake 3.5 ms, 250.7 ms to the first
  // FIN, 501 and 3001 bytes), one refused, one reset after its handshake (150 us),
  // one repeated SYN never answered, one still open, and one closing connection
  // (counted at its FIN) that expired waiting for the answering FIN.
  void known_run() {
    start({"--metrics-file", "/dev/null", "--syn-timeout", "30", "--closing-timeout", "10"});
    feed(100, 0, syn(1000));
    feed(100, 3500, synack(9000, 1001));
    feed(100, 250700, client_fin(1501, 12001));
    feed(100, 290700, server_fin(12001, 1502));
    feed(101, 0, on_client_port(syn(5000), 1002));
    feed(101, 100, on_client_port(server_rst(0), 1002));
    feed(102, 0, on_client_port(syn(6000), 1003));
    feed(102, 150, on_client_port(synack(7000, 6001), 1003));
    feed(102, 900, on_client_port(client_rst(6001), 1003));
    feed(103, 0, on_client_port(syn(100), 1004));
    feed(104, 0, on_client_port(syn(100), 1004));
    feed(105, 0, on_client_port(syn(200), 1005));
    feed(105, 40, on_client_port(synack(300, 201), 1005));
    feed(106, 0, on_client_port(syn(400), 1006));
    feed(106, 20, on_client_port(synack(500, 401), 1006));
    feed(107, 0, on_client_port(client_fin(401, 501), 1006));
    expire_records(monitor(), Timeval{118, 0}, 1000);  // the closing one's time is past
  }
  std::string text() { return metrics_text(run(), CaptureFigures{}, "9.9.9"); }
  // The line of `series` (its name and labels), or "" when there is none.
  std::string line(const std::string& series) {
    const std::string all = text();
    const size_t at = all.find("\n" + series + " ");
    if (at == std::string::npos) return "";
    return all.substr(at + 1, all.find('\n', at + 1) - at - 1);
  }
};

TEST_F(Exposition, CountsAKnownRunExactly) {
  known_run();
  const std::vector<std::string> expected = {
      "portsift_build_info{version=\"9.9.9\"} 1",
      "portsift_syns_total{port=\"80\"} 7",
      "portsift_repeated_syns_total{port=\"80\"} 1",
      "portsift_connections_total{port=\"80\",outcome=\"completed\"} 2",
      "portsift_connections_total{port=\"80\",outcome=\"reset\"} 1",
      "portsift_connections_total{port=\"80\",outcome=\"refused\"} 1",
      "portsift_connections_total{port=\"80\",outcome=\"unanswered\"} 0",
      "portsift_connections_total{port=\"80\",outcome=\"expired\"} 1",
      "portsift_client_bytes_total{port=\"80\"} 502",
      "portsift_server_bytes_total{port=\"80\"} 3002",
      // Handshakes of 3.5 ms, 150 us, 40 us, 20 us: bucket by bucket, cumulative.
      "portsift_handshake_seconds_bucket{port=\"80\",le=\"0.00001\"} 0",
      "portsift_handshake_seconds_bucket{port=\"80\",le=\"0.000025\"} 1",
      "portsift_handshake_seconds_bucket{port=\"80\",le=\"0.00005\"} 2",
      "portsift_handshake_seconds_bucket{port=\"80\",le=\"0.00025\"} 3",
      "portsift_handshake_seconds_bucket{port=\"80\",le=\"0.0025\"} 3",
      "portsift_handshake_seconds_bucket{port=\"80\",le=\"0.005\"} 4",
      "portsift_handshake_seconds_bucket{port=\"80\",le=\"+Inf\"} 4",
      "portsift_handshake_seconds_sum{port=\"80\"} 0.00371",
      "portsift_handshake_seconds_count{port=\"80\"} 4",
      // The measured connection (250.7 ms), and the closing one, measured at its FIN
      // (1 s, one byte each way) before it expired.
      "portsift_connection_duration_seconds_bucket{port=\"80\",le=\"0.25\"} 0",
      "portsift_connection_duration_seconds_bucket{port=\"80\",le=\"0.5\"} 1",
      "portsift_connection_duration_seconds_bucket{port=\"80\",le=\"1\"} 2",
      "portsift_connection_duration_seconds_sum{port=\"80\"} 1.2507",
      "portsift_connection_duration_seconds_count{port=\"80\"} 2",
      "portsift_connection_client_bytes_bucket{port=\"80\",le=\"64\"} 1",
      "portsift_connection_client_bytes_bucket{port=\"80\",le=\"256\"} 1",
      "portsift_connection_client_bytes_bucket{port=\"80\",le=\"1024\"} 2",
      "portsift_connection_server_bytes_bucket{port=\"80\",le=\"1024\"} 1",
      "portsift_connection_server_bytes_bucket{port=\"80\",le=\"4096\"} 2",
      "portsift_connection_server_bytes_sum{port=\"80\"} 3002",
      "portsift_open_connections{port=\"80\",state=\"syn_seen\"} 1",
      "portsift_open_connections{port=\"80\",state=\"established\"} 1",
      "portsift_open_connections{port=\"80\",state=\"closing\"} 0",
      "portsift_table_records 2",
      "portsift_untracked_syns_total{port=\"80\"} 0",
  };
  const std::string all = text();
  for (const std::string& l : expected)
    EXPECT_NE(all.find("\n" + l + "\n"), std::string::npos) << l << "\nin\n" << all;
  // A file run has no capture counts from libpcap.
  EXPECT_EQ(all.find("portsift_capture_"), std::string::npos);
}

TEST_F(Exposition, AnExpiredAttemptCountsAsUnanswered) {
  known_run();
  expire_records(monitor(), Timeval{200, 0}, 1000);
  EXPECT_EQ(line("portsift_connections_total{port=\"80\",outcome=\"unanswered\"}"),
            "portsift_connections_total{port=\"80\",outcome=\"unanswered\"} 1");
  EXPECT_EQ(line("portsift_open_connections{port=\"80\",state=\"syn_seen\"}"),
            "portsift_open_connections{port=\"80\",state=\"syn_seen\"} 0");
}

TEST_F(Exposition, CaptureCountsWhenLibpcapHasThem) {
  known_run();
  CaptureFigures capture;
  capture.known = true, capture.received = 1000, capture.dropped = 7, capture.if_dropped = 2;
  const std::string all = metrics_text(run(), capture, "9.9.9");
  for (const char* l : {"portsift_capture_received_packets_total 1000",
                        "portsift_capture_dropped_packets_total{where=\"buffer\"} 7",
                        "portsift_capture_dropped_packets_total{where=\"interface\"} 2"})
    EXPECT_NE(all.find(std::string("\n") + l + "\n"), std::string::npos) << l;
}

TEST_F(Exposition, PromtoolFindsNothingToSay) {
  known_run();
  const std::string path = scratch_dir() + "/metrics.prom";
  std::ofstream(path) << text();
  const std::string command = "promtool check metrics < " + path + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string said;
  char buf[512];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) said.append(buf, n);
  const int status = pclose(p);
  EXPECT_EQ(said, "");
  EXPECT_EQ(status, 0);
}

TEST_F(Exposition, PortsInAscendingOrder) {
  start({"--metrics-file", "/dev/null"});
  ::Run& r = run();
  r.monitors.clear();
  for (uint16_t port : {8080, 443, 80})
    r.monitors.push_back(std::make_unique<Monitor>(port, r.settings, r.pool, r.host, r.output,
                                                   &r.memory));
  const std::string all = text();
  const size_t a = all.find("portsift_syns_total{port=\"80\"}");
  const size_t b = all.find("portsift_syns_total{port=\"443\"}");
  const size_t c = all.find("portsift_syns_total{port=\"8080\"}");
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_NE(c, std::string::npos);
}

}  // namespace
