// The benchmark's synthetic captures at a small scale: the report must show exactly
// the totals the generator put in. This runs the batched packet path and a
// connection table that grows through several doublings, churns and shrinks again.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

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

#else

TEST(SyntheticCapture, ReportShowsWhatTheGeneratorPutIn) {
  GTEST_SKIP() << "the benchmark tools are not built (PORTSIFT_BENCH=OFF)";
}

#endif

}  // namespace
