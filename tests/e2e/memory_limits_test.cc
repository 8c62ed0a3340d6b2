// Runs that meet a memory limit: a table that cannot grow ends the run with the
// report of what was read before (never an abort), and --max-conns bounds the
// table, counting the SYNs it does not follow.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "e2e/usage_text.h"
#include "testlib/capture_builder.h"
#include "testlib/connections.h"
#include "testlib/runner.h"

using namespace testlib;

namespace {

#if defined(GEN_CAPTURE_BIN) && !defined(__SANITIZE_ADDRESS__)

TEST(MemoryLimit, TheReportCoversWhatWasReadBeforeTheTableCouldNotGrow) {
  // 400 000 connections left open need about 70 MB of table; the process gets 64 MB
  // of address space in all.
  const std::string capture = scratch_dir() + "/open.pcap";
  const std::string command = std::string(GEN_CAPTURE_BIN) +
                              " --workload scale --open 400000 --completed 1000 --out " + capture +
                              " > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  RunOptions opts;
  opts.wrapper = {"/usr/bin/prlimit", "--as=67108864"};
  const RunResult r = run_portsift({"-p", "80", "-r", capture}, opts);
  EXPECT_EQ(r.status, 0) << r.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.err, m,
                               std::regex("portsift: out of memory with ([0-9]+) connections in "
                                          "the table; the report covers the packets read before "
                                          "it\n")))
      << r.err;
  const unsigned long held = std::stoul(m[1]);
  EXPECT_GT(held, 1000u);
  EXPECT_LT(held, 400000u);
  // Every record the table held is in the report, and the report is whole.
  std::smatch dropped, open;
  ASSERT_TRUE(std::regex_search(r.out, dropped, std::regex("dropped by the server: ([0-9]+)\n")));
  ASSERT_TRUE(std::regex_search(r.out, open, std::regex("in progress: ([0-9]+) \\(")));
  EXPECT_EQ(std::stoul(dropped[1]) + std::stoul(open[1]), held) << r.out;
  EXPECT_NE(r.out.find("\n  400+    "), std::string::npos) << r.out;
}

#endif

// A flood of SYNs from new endpoints, unanswered, after a few real connections: the
// real ones are counted as ever, the table stops at its limit, and the SYNs it did
// not follow are counted in the total and in the line at the end.
TEST(MaxConns, TheTableStopsAtItsLimitAndCountsTheRest) {
  std::vector<Conn> conns;
  for (int i = 0; i < 5; i++) {
    Conn c;
    c.port = static_cast<uint16_t>(5000 + i);
    c.start = i * 10000;
    c.fin_at = 5000;
    c.answer_at = 6000;
    c.client_bytes = 101;
    c.server_bytes = 2001;
    conns.push_back(c);
  }
  for (int i = 0; i < 100; i++) {
    Conn flood;
    flood.client = "10.9." + std::to_string(i / 200) + "." + std::to_string(1 + i % 200);
    flood.start = 100000 + i * 100;
    flood.synack_at = -1;
    // The last ten, which find the table full, try again.
    flood.syns = i >= 90 ? 2 : 1;
    conns.push_back(flood);
  }
  const std::string capture = scratch_dir() + "/flood.pcap";
  write_pcap(capture, packets_of(conns));
  const RunResult r = run_portsift({"-p", "80", "-r", capture, "--max-conns", "50"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "portsift: 60 SYNs from 50 endpoints were not followed: the table held its limit of "
            "50 connections (--max-conns)\n");
  for (const char* line :
       {"Total Connections (terminated by FIN): 5\n", "Avg Client Data: 101 bytes\n",
        "Avg Server Data: 2001 bytes\n", "Total number of SYNs: 115 (duplicates: 0)\n",
        "Number of unique connections dropped by the server: 50\n",
        "Number of SYNs from incomplete connections: 50\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
  // Without the limit the same capture follows every endpoint.
  const RunResult all = run_portsift({"-p", "80", "-r", capture});
  EXPECT_EQ(all.err, "");
  EXPECT_NE(all.out.find("Total number of SYNs: 115 (duplicates: 10)\n"), std::string::npos);
  EXPECT_NE(all.out.find("dropped by the server: 100\n"), std::string::npos);
}

TEST(MaxConns, OnlyAWholePositiveNumber) {
  for (const char* bad : {"0", "-5", "12x", "", "99999999999"}) {
    const RunResult r = run_portsift({"-p", "80", "--max-conns", bad, "-r", "x.pcap"});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.out, "") << bad;
    EXPECT_EQ(r.err, std::string("portsift: --max-conns takes a number of connections from 1 to "
                                 "4294967294, not '") +
                         bad + "'\n" + USAGE)
        << bad;
  }
}

TEST(MaxConns, IgnoredInWriteMode) {
  const std::string in = scratch_dir() + "/one.pcap";
  write_pcap(in, {at(100, 0, syn(1000))});
  const RunResult r =
      run_portsift({"-p", "80", "-r", in, "-w", "/dev/null", "-T", "--max-conns", "10"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "-T ignored\n--max-conns ignored\n");
}

}  // namespace
