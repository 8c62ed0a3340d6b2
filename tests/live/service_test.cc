// portsift as a service, for real on the loopback interface: a real Prometheus
// scrapes a continuous run (--metrics) once a second while the traffic driver's
// clients talk to its servers on two ports, and its query API must give exactly the
// counts of the final report; the record files rotated under load (rename, SIGHUP)
// hold every record once; SIGTERM ends a run with its report; -Z gives up root.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "live/live_support.h"
#include "testlib/rows.h"
#include "testlib/runner.h"

namespace {

using live::Child;
using live::Clock;
using live::Driver;
using live::DriverPlan;
using live::Finished;

class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = live::skip_reason();
    if (!why.empty()) GTEST_SKIP() << why;
  }
};

// A loopback port nothing listens on now.
uint16_t free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t length = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  close(fd);
  return ntohs(a.sin_port);
}

// Starts portsift and returns once its capture is open.
[[nodiscard]] bool start_capture(const std::vector<std::string>& args, Child* run) {
  std::vector<std::string> argv = {testlib::portsift_binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  *run = live::spawn(argv);
  if (live::wait_capture_open(run->pid, 10)) return true;
  kill(run->pid, SIGKILL);
  const Finished f = live::finish(*run, 5);
  ADD_FAILURE() << "portsift never opened its capture\nstdout:\n" << f.out << "stderr:\n" << f.err;
  return false;
}

// What a shell command printed (standard error included), and its status.
std::string shell(const std::string& command, int* status = nullptr) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  std::string said;
  char buf[4096];
  for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) said.append(buf, n);
  const int rc = p == nullptr ? -1 : pclose(p);
  if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return said;
}

// A real Prometheus on loopback, scraping `target` every second, its data in a
// scratch folder; stopped when the test is done with it.
class Prometheus {
 public:
  explicit Prometheus(const std::string& target) : port_(free_port()) {
    const std::string dir = testlib::scratch_dir();
    std::ofstream(dir + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\n  scrape_timeout: 900ms\n"
           "scrape_configs:\n  - job_name: portsift\n    static_configs:\n"
           "      - targets: ['" << target << "']\n";
    // Found on PATH (the spawn does not search it); its log kept short, as nothing
    // reads it while it runs.
    std::string binary = shell("command -v prometheus");
    while (!binary.empty() && binary.back() == '\n') binary.pop_back();
    child_ = live::spawn({binary, "--log.level=warn", "--config.file=" + dir + "/prometheus.yml",
                          "--storage.tsdb.path=" + dir + "/data",
                          "--web.listen-address=127.0.0.1:" + std::to_string(port_)});
  }
  ~Prometheus() {
    if (child_.pid > 0) {
      kill(child_.pid, SIGTERM);
      live::finish(child_, 10);
    }
  }
  bool ready(double timeout_s) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(
                                                          static_cast<int>(timeout_s * 1000));
    while (Clock::now() < deadline) {
      int status = 0;
      shell("curl -sf --max-time 1 http://127.0.0.1:" + std::to_string(port_) + "/-/ready",
            &status);
      if (status == 0) return true;
      live::sleep_s(0.2);
    }
    return false;
  }
  // The instant query's samples: a value per `by` label's value.
  std::map<std::string, double> query(const std::string& expression, const std::string& by) {
    const std::string body =
        shell("curl -s --max-time 5 http://127.0.0.1:" + std::to_string(port_) +
              "/api/v1/query --data-urlencode 'query=" + expression + "'");
    std::map<std::string, double> values;
    const nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
    if (answer.is_discarded() || answer.value("status", "") != "success") return values;
    for (const auto& sample : answer["data"]["result"])
      values[sample["metric"].value(by, "")] = std::stod(sample["value"][1].get<std::string>());
    return values;
  }

 private:
  uint16_t port_;
  Child child_;
};

double report_number(const std::string& report, const std::string& label) {
  return live::number_after(report, label).value_or(-1);
}

// The report of one port, up to the next port's.
std::string report_of(const std::string& out, const std::string& port) {
  const size_t at = out.find("Results of monitoring port " + port + " for ");
  if (at == std::string::npos) return "";
  const size_t next = out.find("\nResults of monitoring port ", at + 1);
  return out.substr(at, next == std::string::npos ? std::string::npos : next - at);
}

TEST_F(Service, PrometheusScrapesExactlyWhatTheReportCounts) {
  DriverPlan plan;
  plan.completed = 12, plan.client_bytes = 700, plan.server_bytes = 3000, plan.resets = 3;
  plan.gap_ms = 20;
  Driver first(plan);
  plan.completed = 7, plan.resets = 1;
  Driver second(plan);
  const std::string a = std::to_string(first.port()), b = std::to_string(second.port());
  const std::string endpoint = "127.0.0.1:" + std::to_string(free_port());
  Child run;
  // No -t: the run lasts until it is signalled.
  ASSERT_TRUE(start_capture({"-i", "lo", "-p", a + "," + b, "--metrics", endpoint, "-Z", "nobody"},
                            &run));
  // The endpoint serves before any traffic, as nobody once the capture is open.
  std::string uid;
  for (int i = 0; i < 40 && uid.find("\t65534\t") == std::string::npos; ++i, live::sleep_s(0.05))
    uid = shell("grep '^Uid:' /proc/" + std::to_string(run.pid) + "/status");
  EXPECT_NE(uid.find("\t65534\t65534\t65534\t"), std::string::npos) << uid;
  int status = 0;
  const std::string scrape = testlib::scratch_dir() + "/scrape.prom";
  shell("curl -sf --max-time 5 -o " + scrape + " http://" + endpoint + "/metrics", &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(shell("promtool check metrics < " + scrape, &status), "");
  EXPECT_EQ(status, 0);

  Prometheus prometheus(endpoint);
  ASSERT_TRUE(prometheus.ready(30)) << "Prometheus did not start";
  first.go();
  second.go();
  ASSERT_EQ(first.wait(), "");
  ASSERT_EQ(second.wait(), "");
  // Until a scrape after the traffic has been stored (a second or two).
  const std::map<std::string, double> want = {{a, 12}, {b, 7}};
  std::map<std::string, double> completed;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    completed = prometheus.query("portsift_connections_total{outcome=\"completed\"}", "port");
    if (completed == want) break;
    live::sleep_s(0.25);
  }
  EXPECT_EQ(completed, want);
  const auto resets = prometheus.query("portsift_connections_total{outcome=\"reset\"}", "port");
  const auto syns = prometheus.query("portsift_syns_total", "port");
  const auto client_bytes = prometheus.query("portsift_client_bytes_total", "port");
  const auto handshakes = prometheus.query("portsift_handshake_seconds_count", "port");
  const auto durations = prometheus.query("portsift_connection_duration_seconds_count", "port");
  const auto open = prometheus.query("sum by (port) (portsift_open_connections)", "port");

  ASSERT_EQ(kill(run.pid, SIGTERM), 0);
  const Finished f = live::finish(run, 10);
  EXPECT_EQ(f.status, 0) << f.err;
  EXPECT_EQ(f.err.find("serving as root"), std::string::npos) << f.err;
  for (const std::string& port : {a, b}) {
    SCOPED_TRACE("port " + port);
    const std::string report = report_of(f.out, port);
    ASSERT_NE(report, "") << f.out;
    const double counted = report_number(report, "Total Connections (terminated by FIN): ");
    EXPECT_EQ(counted, want.at(port));
    EXPECT_EQ(resets.at(port), report_number(report, "Connections terminated by RESET: "));
    EXPECT_EQ(resets.at(port), port == a ? 3 : 1);
    EXPECT_EQ(syns.at(port), report_number(report, "Total number of SYNs: "));
    EXPECT_EQ(client_bytes.at(port), counted * report_number(report, "Avg Client Data: "));
    EXPECT_EQ(durations.at(port), counted);
    EXPECT_EQ(handshakes.at(port), counted + resets.at(port));
    EXPECT_EQ(open.at(port), 0);
  }
}

TEST_F(Service, RootIsToldOnceAndSigtermEndsTheRunWithItsReport) {
  Driver driver(DriverPlan{3, 100, 200, 0, 0, 0, false, false, 0});
  const std::string port = std::to_string(driver.port());
  Child run;
  ASSERT_TRUE(start_capture(
      {"-i", "lo", "-p", port, "--metrics", "127.0.0.1:" + std::to_string(free_port())}, &run));
  driver.go();
  ASSERT_EQ(driver.wait(), "");
  live::sleep_s(0.5);
  ASSERT_EQ(kill(run.pid, SIGTERM), 0);
  const Finished f = live::finish(run, 10);
  EXPECT_EQ(f.status, 0) << f.err;
  EXPECT_EQ(report_number(f.out, "Total Connections (terminated by FIN): "), 3) << f.out;
  // (The program names itself as it was started: here by its path.)
  const std::string notice = ": serving as root; -Z USER runs as USER once the capture is open\n";
  const size_t at = f.err.find(notice);
  EXPECT_NE(at, std::string::npos) << f.err;
  EXPECT_EQ(f.err.find(notice, at + 1), std::string::npos) << f.err;
  // The table's bound is a default here: its line only comes when it was reached.
  EXPECT_EQ(f.err.find("--max-conns"), std::string::npos) << f.err;
}

// A continuous run's intervals fall on the clock's seconds, so the rows of many
// hosts line up; its first and last rows are partial; --metrics-file is written at
// each interval, before the end.
TEST_F(Service, IntervalsOnTheClockAndTheMetricsFileAtEachOne) {
  Driver driver(DriverPlan{20, 100, 200, 0, 0, 50, false, false, 0});
  const std::string port = std::to_string(driver.port());
  const std::string dir = testlib::scratch_dir();
  const std::string rows = dir + "/rows.csv", metrics = dir + "/m.prom";
  Child run;
  ASSERT_TRUE(start_capture({"-i", "lo", "-p", port, "--metrics",
                             "127.0.0.1:" + std::to_string(free_port()), "--interval", "1",
                             "--intervals", rows, "--metrics-file", metrics},
                            &run));
  driver.go();
  ASSERT_EQ(driver.wait(), "");
  // The file of an interval that ended while the run goes on.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
  while (testlib::read_text_file(metrics).empty() && Clock::now() < deadline) live::sleep_s(0.1);
  EXPECT_NE(testlib::read_text_file(metrics).find("portsift_syns_total{port=\"" + port + "\"}"),
            std::string::npos);
  live::sleep_s(1.2);
  ASSERT_EQ(kill(run.pid, SIGTERM), 0);
  const Finished f = live::finish(run, 10);
  ASSERT_EQ(f.status, 0) << f.err;
  std::string error;
  const std::vector<testlib::Row> r = testlib::read_rows_file(rows, &error);
  ASSERT_EQ(error, "");
  ASSERT_GE(r.size(), 3u);
  double counted = 0;
  for (size_t i = 0; i < r.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    const double start = testlib::number_of(r[i], "start_us"), end = testlib::number_of(r[i], "end_us");
    const bool first = i == 0, last = i + 1 == r.size();
    if (!first) {
      EXPECT_EQ(std::fmod(start, 1e6), 0);
    }
    if (!last) {
      EXPECT_EQ(std::fmod(end, 1e6), 0);
    }
    EXPECT_EQ(*r[i].at("partial"), first || last ? "true" : "false");
    counted += testlib::number_of(r[i], "counted");
  }
  EXPECT_EQ(counted, 20);
  EXPECT_NE(testlib::read_text_file(metrics).find(
                "portsift_connections_total{port=\"" + port + "\",outcome=\"completed\"} 20\n"),
            std::string::npos);
}

// logrotate's way, under load: rename the files, then SIGHUP; the run goes on in new
// files, and together the files hold every record and every interval once.
TEST_F(Service, RotatedFilesTogetherHoldEveryRecordOnce) {
  DriverPlan plan;
  plan.completed = 150, plan.client_bytes = 100, plan.server_bytes = 500, plan.resets = 10;
  plan.gap_ms = 15;  // about 2.5 s of traffic
  Driver driver(plan);
  const std::string port = std::to_string(driver.port());
  const std::string dir = testlib::scratch_dir();
  const std::string conns = dir + "/conns.csv", rows = dir + "/rows.jsonl";
  // The rotated names keep the ending that tells the rows' format.
  const auto rotated = [](const std::string& name, int n) {
    const size_t dot = name.rfind('.');
    return name.substr(0, dot) + "." + std::to_string(n) + name.substr(dot);
  };
  Child run;
  ASSERT_TRUE(start_capture({"-i", "lo", "-p", port, "-t", "60", "--conns", conns, "--interval",
                             "0.25", "--intervals", rows},
                            &run));
  driver.go();
  std::vector<std::string> conn_files, row_files;
  for (int n = 1; n <= 6; ++n) {
    live::sleep_s(0.4);
    conn_files.push_back(rotated(conns, n));
    row_files.push_back(rotated(rows, n));
    ASSERT_EQ(std::rename(conns.c_str(), conn_files.back().c_str()), 0);
    ASSERT_EQ(std::rename(rows.c_str(), row_files.back().c_str()), 0);
    ASSERT_EQ(kill(run.pid, SIGHUP), 0);
  }
  ASSERT_EQ(driver.wait(), "");
  live::sleep_s(0.3);
  ASSERT_EQ(kill(run.pid, SIGINT), 0);
  const Finished f = live::finish(run, 10);
  ASSERT_EQ(f.status, 0) << f.err;
  conn_files.push_back(conns);
  row_files.push_back(rows);

  std::vector<testlib::Row> records, intervals;
  std::set<std::string> seen;
  for (const std::string& file : conn_files) {
    SCOPED_TRACE(file);
    std::string error;
    // Each file is whole CSV, with its own header.
    const std::vector<testlib::Row> part = testlib::read_rows_file(file, &error);
    EXPECT_EQ(error, "");
    for (const testlib::Row& r : part) {
      const std::string key = *r.at("client_port") + "@" + *r.at("start_us");
      EXPECT_TRUE(seen.insert(key).second) << "doubled: " << key;
      records.push_back(r);
    }
  }
  EXPECT_EQ(testlib::records_disagree_with_report(records, f.out), "") << f.out;
  EXPECT_EQ(report_number(f.out, "Total Connections (terminated by FIN): "), 150);
  for (const std::string& file : row_files) {
    std::string error;
    for (const testlib::Row& r : testlib::read_rows_file(file, &error)) intervals.push_back(r);
    EXPECT_EQ(error, "") << file;
  }
  // The intervals follow each other without a gap or a repeat, across the files.
  ASSERT_GE(intervals.size(), 8u);
  double counted = 0;
  for (size_t i = 0; i < intervals.size(); ++i) {
    counted += testlib::number_of(intervals[i], "counted");
    if (i + 1 < intervals.size()) {
      EXPECT_EQ(testlib::number_of(intervals[i], "end_us"),
                testlib::number_of(intervals[i + 1], "start_us"))
          << "row " << i;
    }
  }
  EXPECT_EQ(counted, 150);
}

}  // namespace
