// The benchmark's synthetic captures at a small scale: the report must show exactly
// the totals the generator put in. This runs the batched packet path and a
// connection table that grows through several doublings, churns and shrinks again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "testlib/rows.h"
#include "testlib/runner.h"

using namespace testlib;

namespace {

#ifdef GEN_CAPTURE_BIN

// Runs the generator; its "name=value" words.
std::map<std::string, std::string> generate(const std::string& args, const std::string& out) {
  const std::string command = std::string(GEN_CAPTURE_BIN) + " " + args + " --out " + out;
  FILE* p = popen(command.c_str(), "r");
  std::string text;
  char buf[512];
  while (p != nullptr && std::fgets(buf, sizeof buf, p) != nullptr) text += buf;
  EXPECT_TRUE(p != nullptr && pclose(p) == 0) << command;
  std::map<std::string, std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) {
    const size_t eq = w.find('=');
    if (eq != std::string::npos) words[w.substr(0, eq)] = w.substr(eq + 1);
  }
  return words;
}

size_t count_lines_starting(const std::string& text, const std::string& prefix) {
  size_t n = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) n += line.rfind(prefix, 0) == 0;
  return n;
}

TEST(SyntheticCapture, ReportShowsWhatTheGeneratorPutIn) {
  const struct Case {
    const char* name;
    const char* args;
    bool decode_all = false;
  } cases[] = {
      {"mixed", "--workload mixed --connections 3000"},
      {"handshake", "--workload handshake --connections 60000"},
      {"open peak", "--workload open-peak --connections 40000 --seed 2"},
      {"left open and completed", "--workload scale --open 35000 --completed 20000"},
      // Tens of thousands of IPv6 addresses through the pool, and the batched path.
      {"ipv6 behind a tag", "--workload ipv6-vlan --connections 40000 --seed 3", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string capture = scratch_dir() + "/synthetic.pcap";
    std::map<std::string, std::string> g = generate(c.args, capture);
    ASSERT_FALSE(g["peak_open"].empty());

    std::vector<std::string> args = {"-p", "80", "-r", capture};
    if (c.decode_all) args.insert(args.begin(), "--decode-all");
    const RunResult r = run_portsift(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string expected_lines[] = {
        "Total Connections (terminated by FIN): " + g["completed"] + "\n",
        "Total number of SYNs: " + g["syns"] + " (duplicates: " + g["dup_syns"] + ")",
        "Connections terminated by RESET: " + g["resets"] + "\n",
        "Number of unique connections dropped by the server: " + g["unanswered"] + "\n",
        "Number of SYNs from incomplete connections: " + g["unanswered_syns"] + "\n",
        "Number of established connections in progress: " + g["left_open"] + " (",
        "Number of connections in closing state: 0\n",
    };
    for (const std::string& line : expected_lines)
      EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

    // The listing walks the table in key order: one line per unanswered client.
    args.insert(args.end(), {"-V", "999"});
    const RunResult listing = run_portsift(args);
    ASSERT_EQ(listing.status, 0) << listing.err;
    EXPECT_EQ(std::to_string(count_lines_starting(listing.out, "NOSYNACK:")), g["unanswered"]);
  }
}

// The quantile numpy.percentile computes by default: linear between the closest ranks.
double exact_quantile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  const double h = static_cast<double>(v.size() - 1) * q;
  const size_t lo = static_cast<size_t>(std::floor(h));
  const double f = h - static_cast<double>(lo);
  return lo + 1 < v.size() ? v[lo] + f * (v[lo + 1] - v[lo]) : v[lo];
}

// One record per connection the generator made, in the state it left it, and the
// JSON report's percentiles within 1 % of exact ones computed from those records.
TEST(SyntheticCapture, RecordsAndPercentilesAgreeWithTheGenerator) {
  const std::string capture = scratch_dir() + "/records.pcap";
  std::map<std::string, std::string> g =
      generate("--workload mixed --connections 4000 --seed 3", capture);
  const std::string records = scratch_dir() + "/records.csv";
  const RunResult json = run_portsift({"-p", "80", "--json", "--conns", records, "-r", capture});
  ASSERT_EQ(json.status, 0) << json.err;
  const nlohmann::json j = nlohmann::json::parse(json.out)["ports"][0];
  std::string error;
  std::ifstream in(records);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::vector<Row> rows = read_csv_rows(text, &error);
  ASSERT_EQ(error, "");

  // Every client endpoint is used once: no connection is replaced, and every one
  // the generator completed was answered, so it is counted and completed.
  std::map<std::string, std::string> states;
  for (const Row& r : rows) {
    std::string& n = states[*r.at("state")];
    n = std::to_string(n.empty() ? 1 : std::stoul(n) + 1);
  }
  const std::map<std::string, std::string> made = {{"completed", g["completed"]},
                                                   {"reset", g["resets"]},
                                                   {"unanswered", g["unanswered"]},
                                                   {"open", g["left_open"]}};
  for (auto& [state, n] : states)
    if (made.count(state) == 0) ADD_FAILURE() << n << " records " << state;
  for (const auto& [state, n] : made) EXPECT_EQ(states[state], n == "0" ? "" : n) << state;
  const RunResult report = run_portsift({"-p", "80", "-r", capture});
  EXPECT_EQ(records_disagree_with_report(rows, report.out), "");
  EXPECT_EQ(j["summary"]["connections"].dump(), g["completed"]);

  for (const char* field :
       {"duration_us", "handshake_us", "fin_to_fin_us", "client_bytes", "server_bytes"}) {
    SCOPED_TRACE(field);
    std::vector<double> values;
    for (const Row& r : rows)
      if (*r.at("counted") == "true" && r.at(field)) values.push_back(std::stod(*r.at(field)));
    const nlohmann::json& p = j["percentiles"][field];
    ASSERT_EQ(p["count"], values.size());
    ASSERT_GT(values.size(), 1000u);
    EXPECT_EQ(p["max"].get<double>(), *std::max_element(values.begin(), values.end()));
    for (const auto& [key, q] : {std::pair{"p50", 0.5}, {"p90", 0.9}, {"p99", 0.99}, {"p999", 0.999}}) {
      const double exact = exact_quantile(values, q);
      EXPECT_LE(std::fabs(p[key].get<double>() - exact), 0.01 * exact) << key << " exact " << exact;
    }
  }
}

#else

TEST(SyntheticCapture, ReportShowsWhatTheGeneratorPutIn) {
  GTEST_SKIP() << "the benchmark tools are not built (PORTSIFT_BENCH=OFF)";
}

#endif

}  // namespace
