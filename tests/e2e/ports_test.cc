// Several ports in one run: each port's report, listing, records and JSON are those
// of a run watching it alone; -p any finds exactly the ports that received SYNs; a
// bad port list is refused with one line.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testlib/capture_builder.h"
#include "testlib/connections.h"
#include "testlib/rows.h"
#include "testlib/runner.h"

using namespace testlib;

namespace {

using Json = nlohmann::ordered_json;

// The report tests' mixed connections on port 80 and again on 443 (the same client
// endpoints: each is one connection per port), a few on 8080, one to port 22, and
// one from client port 443 to port 80, which both runs of 80 and of 443 see.
std::vector<Packet> three_ports() {
  std::vector<Conn> conns = mixed_connections();
  for (Conn c : mixed_connections()) {
    c.server_port = 443;
    c.start += 3000;
    c.server_bytes += 1000;
    conns.push_back(c);
  }
  Conn web;
  web.client = "10.0.0.20", web.port = 7000, web.server_port = 8080, web.start = 5000;
  web.fin_at = 35000, web.client_bytes = 300, web.server_bytes = 90000, web.answer_at = 36000;
  conns.push_back(web);
  web.port = 7001, web.start = 400000, web.synack_at = -1, web.fin_at = -1, web.answer_at = -1;
  conns.push_back(web);
  Conn ssh;
  ssh.client = "10.0.0.30", ssh.port = 6000, ssh.server_port = 22, ssh.start = 1000;
  ssh.fin_at = 2000, ssh.answer_at = 3000;
  conns.push_back(ssh);
  Conn from_443;
  from_443.client = "10.0.0.40", from_443.port = 443, from_443.start = 7000;
  from_443.fin_at = 9000, from_443.answer_at = 9500;
  conns.push_back(from_443);
  return packets_of(conns);
}

const std::string& capture() {
  static std::string path;
  if (path.empty()) {
    path = scratch_dir() + "/three_ports.pcap";
    write_pcap(path, three_ports());
  }
  return path;
}

RunResult run_on(const std::string& ports, const std::vector<std::string>& options) {
  std::vector<std::string> args = {"-p", ports, "-r", capture()};
  args.insert(args.begin(), options.begin(), options.end());
  return run_portsift(args);
}

// The run's time span is the one figure the ports share: a port alone starts and
// ends with its own packets.
std::string without_span(const std::string& text) {
  static const std::regex span(" for [0-9.]+ seconds\n|Start time: [^\n]*\n|End time: [^\n]*\n");
  return std::regex_replace(text, span, "\n");
}

TEST(Ports, EachPortReportsAsARunOfItsOwn) {
  const std::vector<std::vector<std::string>> option_sets = {
      {},          {"-R"},         {"-V", "1"},        {"-V", "999"}, {"-D", "0"},
      {"-C", "-s", "1", "-R"},     {"-P", "-T"},       {"-S", "-D", "40", "-R"},
      {"-c", "2"}, {"--decode-all"},
  };
  for (const auto& options : option_sets) {
    const std::string what = ::testing::PrintToString(options);
    const RunResult all = run_on("443,80,8080", options);
    ASSERT_EQ(all.status, 0) << what << all.err;
    std::string alone;
    for (const char* port : {"443", "80", "8080"}) {
      const RunResult one = run_on(port, options);
      ASSERT_EQ(one.status, 0) << what << one.err;
      if (!alone.empty()) alone += "\n";
      alone += one.out;
    }
    // -c lines come while packets are read, so they interleave; the reports follow
    // in the order -p gave.
    if (options.size() == 2 && options[0] == "-c") {
      std::vector<std::string> a, b;
      std::string line;
      for (std::istringstream in(without_span(all.out)); std::getline(in, line);)
        a.push_back(line);
      for (std::istringstream in(without_span(alone)); std::getline(in, line);) b.push_back(line);
      std::sort(a.begin(), a.end());
      std::sort(b.begin(), b.end());
      EXPECT_EQ(a, b) << what;
    } else {
      EXPECT_EQ(without_span(all.out), without_span(alone)) << what;
    }
  }
}

TEST(Ports, RecordsAndJsonOfEachPortAsAlone) {
  const RunResult all = run_on("80,443,8080", {"--conns", "-"});
  ASSERT_EQ(all.status, 0) << all.err;
  std::string error;
  std::vector<Row> rows = read_csv_rows(all.out, &error);
  ASSERT_EQ(error, "");
  std::vector<Row> alone;
  for (const char* port : {"80", "443", "8080"}) {
    const std::vector<Row> one = read_csv_rows(run_on(port, {"--conns", "-"}).out, &error);
    ASSERT_EQ(error, "");
    alone.insert(alone.end(), one.begin(), one.end());
  }
  // Records leave as connections do: across ports they interleave.
  std::sort(rows.begin(), rows.end());
  std::sort(alone.begin(), alone.end());
  EXPECT_EQ(rows, alone);

  const Json doc = Json::parse(run_on("80,443,8080", {"--json", "-D", "0"}).out);
  EXPECT_EQ(doc["version"], 2);
  ASSERT_EQ(doc["ports"].size(), 3u);
  int64_t connections = 0;
  size_t i = 0;
  for (const char* port : {"80", "443", "8080"}) {
    Json mine = doc["ports"][i++];
    Json own = Json::parse(run_on(port, {"--json", "-D", "0"}).out)["ports"][0];
    connections += own["summary"]["connections"].get<int64_t>();
    for (const char* key : {"seconds", "start", "end", "start_us", "end_us"}) {
      mine.erase(key);
      own.erase(key);
    }
    EXPECT_EQ(mine, own) << port;
  }
  EXPECT_EQ(doc["totals"]["connections"], connections);
  EXPECT_EQ(doc["totals"]["ports"], 3);
}

TEST(Ports, AnyFindsThePortsThatReceivedSyns) {
  const RunResult any = run_on("any", {"-V", "1"});
  ASSERT_EQ(any.status, 0) << any.err;
  std::vector<std::string> ports;
  static const std::regex results("Results of monitoring port ([0-9]+) for");
  for (std::sregex_iterator it(any.out.begin(), any.out.end(), results), end; it != end; ++it)
    ports.push_back((*it)[1]);
  // The most connections first (80 has its mixed ones and the one from 443), ties
  // by port.
  EXPECT_EQ(ports, (std::vector<std::string>{"80", "443", "22", "8080"}));
  const RunResult listed = run_on("80,443,22,8080", {"-V", "1"});
  EXPECT_EQ(without_span(any.out), without_span(listed.out));

  // Beyond --max-ports: the first ports to receive a SYN are watched, the SYNs to
  // the others counted.
  const RunResult two = run_on("any", {"-V", "1", "--max-ports", "2"});
  ASSERT_EQ(two.status, 0) << two.err;
  size_t reports = 0;
  for (size_t at = 0; (at = two.out.find("Results of monitoring port", at)) != std::string::npos;
       ++at)
    ++reports;
  EXPECT_EQ(reports, 2u) << two.out;
  EXPECT_NE(two.err.find("SYNs to 2 more ports were not followed: the run watched its limit of "
                         "2 ports (--max-ports)\n"),
            std::string::npos)
      << two.err;
}

TEST(Ports, IntervalRowsForEveryPortAndInterval) {
  const RunResult r = run_on("80,8080", {"--interval", "0.2", "--intervals", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string error;
  const std::vector<Row> rows = read_csv_rows(r.out, &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(rows.size() % 2, 0u);
  for (size_t i = 0; i < rows.size(); i += 2) {
    EXPECT_EQ(*rows[i].at("port"), "80");
    EXPECT_EQ(*rows[i + 1].at("port"), "8080");
    EXPECT_EQ(rows[i].at("start_us"), rows[i + 1].at("start_us"));
  }
}

// A list is a value of digits, commas and dashes with a separator between two
// digits; anything else is one port, read as it always was.
TEST(Ports, BadListsAreRefused) {
  const struct {
    const char* value;
    std::string err;  // after "portsift: -p VALUE: "; "" for the classic readings
    int status;
  } cases[] = {
      {"80,443,80", "port 80 is named twice\n", 1},
      {"8000-8010,8005", "port 8005 is named twice\n", 1},
      {"90-80", "the range 90-80 holds no port\n", 1},
      {"0,80", "'0' is not a port from 1 to 65535 or a range of them (80,443,8000-8010)\n", 1},
      {"80,65536", "'65536' is not a port from 1 to 65535 or a range of them (80,443,8000-8010)\n",
       1},
      {"80,,443", "'' is not a port from 1 to 65535 or a range of them (80,443,8000-8010)\n", 1},
      {"1-2-3", "'1-2-3' is not a port from 1 to 65535 or a range of them (80,443,8000-8010)\n", 1},
      // Not lists: one port, as ever.
      {"80,", "", 0},
      {"80-", "", 0},
      {",80", "", 1},
      {"http", "", 1},
      {"0", "", 1},
      {"65536", "", 1},
  };
  for (const auto& c : cases) {
    const RunResult r = run_portsift({"-p", c.value, "-V", "1", "-r", capture()});
    EXPECT_EQ(r.status, c.status) << c.value;
    if (!c.err.empty())
      EXPECT_EQ(r.err, std::string("portsift: -p ") + c.value + ": " + c.err) << c.value;
    else if (c.status == 0)
      EXPECT_EQ(r.out.rfind("Results of monitoring port 80 for", 0), 0u) << c.value << r.out;
    else
      EXPECT_EQ(r.err.rfind("Port must be specified\n", 0), 0u) << c.value << r.err;
  }
}

}  // namespace
