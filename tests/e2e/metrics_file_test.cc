// A file run's side of the continuous features: --metrics-file written at its end
// (and promtool's check of it), a file that cannot be written, and expiry by the
// capture's clock, whose records and report agree with each other.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "testlib/capture_builder.h"
#include "testlib/rows.h"
#include "testlib/runner.h"

using namespace testlib;

namespace {

// At 100 s: a measured connection (client port 5555), an attempt never answered
// (1001), an established connection (1002) and a closing one (1003); at 400 s one
// more attempt, whose packet is the clock that expires the others.
const std::string& capture() {
  static std::string path;
  if (!path.empty()) return path;
  path = scratch_dir() + "/expiry.pcap";
  write_pcap(path, {
                       at(100, 0, syn(1000)),
                       at(100, 3500, synack(9000, 1001)),
                       at(100, 250700, client_fin(1501, 12001)),
                       at(100, 290700, server_fin(12001, 1502)),
                       at(100, 300000, on_client_port(syn(2000), 1001)),
                       at(100, 400000, on_client_port(syn(3000), 1002)),
                       at(100, 400100, on_client_port(synack(4000, 3001), 1002)),
                       at(100, 500000, on_client_port(syn(5000), 1003)),
                       at(100, 500100, on_client_port(synack(6000, 5001), 1003)),
                       at(101, 0, on_client_port(client_fin(5001, 6001), 1003)),
                       at(400, 0, on_client_port(syn(7000), 1004)),
                   });
  return path;
}

std::string shell_output(const std::string& command, int* status) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  std::string said;
  char buf[512];
  for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) said.append(buf, n);
  *status = p == nullptr ? -1 : pclose(p);
  return said;
}

TEST(MetricsFile, WrittenAtTheEndOfAFileRunBesideAnUnchangedReport) {
  const std::string dir = scratch_dir();
  const std::string metrics = dir + "/portsift.prom";
  const RunResult plain = run_portsift({"-p", "80", "-r", capture()});
  const RunResult r = run_portsift({"-p", "80", "--metrics-file", metrics, "-r", capture()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, plain.out);
  EXPECT_EQ(r.err, plain.err);
  EXPECT_FALSE(std::filesystem::exists(metrics + ".tmp"));
  const std::string text = read_text_file(metrics);
  for (const char* line :
       {"portsift_packets_total 11", "portsift_syns_total{port=\"80\"} 5",
        "portsift_connections_total{port=\"80\",outcome=\"completed\"} 2",
        "portsift_open_connections{port=\"80\",state=\"syn_seen\"} 2",
        "portsift_open_connections{port=\"80\",state=\"established\"} 1",
        "portsift_open_connections{port=\"80\",state=\"closing\"} 1",
        "portsift_start_time_seconds 100.000000"})
    EXPECT_NE(text.find(std::string("\n") + line + "\n"), std::string::npos) << line << "\n" << text;
  int status = 0;
  EXPECT_EQ(shell_output("promtool check metrics < " + metrics, &status), "");
  EXPECT_EQ(status, 0);
}

TEST(MetricsFile, AFileThatCannotBeWrittenFailsTheRunAfterTheReport) {
  const RunResult plain = run_portsift({"-p", "80", "-r", capture()});
  const RunResult r =
      run_portsift({"-p", "80", "--metrics-file", "/nonexistent/m.prom", "-r", capture()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, plain.out);
  EXPECT_EQ(r.err, plain.err +
                       "portsift: cannot write /nonexistent/m.prom: No such file or directory\n");
}

TEST(FileExpiry, RecordsLeaveByTheCapturesClockAndStillAgreeWithTheReport) {
  const std::string conns = scratch_dir() + "/conns.csv";
  const std::string metrics = scratch_dir() + "/m.prom";
  const RunResult r = run_portsift({"-p", "80", "--syn-timeout", "60", "--closing-timeout", "60",
                                    "--max-age", "200", "--conns", conns, "--metrics-file",
                                    metrics, "-r", capture()});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string error;
  const std::vector<Row> rows = read_rows_file(conns, &error);
  ASSERT_EQ(error, "");
  std::map<std::string, std::string> state_of;
  for (const Row& row : rows) state_of[*row.at("client_port")] = *row.at("state");
  EXPECT_EQ(state_of, (std::map<std::string, std::string>{{"5555", "completed"},
                                                           {"1001", "unanswered"},
                                                           {"1002", "expired"},
                                                           {"1003", "expired"},
                                                           {"1004", "unanswered"}}));
  EXPECT_EQ(records_disagree_with_report(rows, r.out), "");
  // The attempt that expired is still one the server dropped; the expired ones are
  // no longer in progress.
  const RunResult plain = run_portsift({"-p", "80", "-r", capture()});
  const std::string text = read_text_file(metrics);
  for (const char* line : {"portsift_connections_total{port=\"80\",outcome=\"unanswered\"} 1",
                           "portsift_connections_total{port=\"80\",outcome=\"expired\"} 2",
                           "portsift_open_connections{port=\"80\",state=\"syn_seen\"} 1",
                           "portsift_open_connections{port=\"80\",state=\"established\"} 0",
                           "portsift_table_records 1"})
    EXPECT_NE(text.find(std::string("\n") + line + "\n"), std::string::npos) << line << "\n" << text;
  EXPECT_NE(plain.out, r.out);
}

TEST(FileExpiry, TimeoutsOfZeroChangeNothing) {
  const RunResult plain = run_portsift({"-p", "80", "-r", capture()});
  const RunResult r = run_portsift(
      {"-p", "80", "--syn-timeout", "0", "--closing-timeout", "0", "--max-age", "0", "-r", capture()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, plain.out);
  EXPECT_EQ(r.err, plain.err);
}

}  // namespace
