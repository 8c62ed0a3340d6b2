// --summary and --html end to end: the summary's text as a person reads it, the
// same figures as --json on the same captures (the summary's within the rounding of
// its units, the page's exactly), the segments of other framings counted and named,
// the options that cannot be combined, and a page that cannot be written.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testlib/capture_builder.h"
#include "testlib/connections.h"
#include "testlib/files.h"
#include "testlib/runner.h"

using namespace testlib;
using Json = nlohmann::json;

namespace {

// The mixed capture and, beside it, one attempt the server refuses.
std::vector<Conn> mixed_and_refused() {
  std::vector<Conn> conns = mixed_connections();
  Conn refused;
  refused.client = "10.0.0.20", refused.port = 4100, refused.start = 5000;
  refused.synack_at = -1, refused.rst_at = 300, refused.rst_from_server = true;
  conns.push_back(refused);
  return conns;
}

// The same connections over IPv4, and the first three again over IPv6 and behind
// a VLAN tag: segments a run without --decode-all passes over.
std::vector<Packet> with_other_framings() {
  std::vector<Packet> p = packets_of(mixed_and_refused());
  std::vector<Conn> few = mixed_connections();
  few.resize(3);
  for (Conn& c : few) c.start += 2000000;
  const std::vector<Packet> v6 = packets_of(over_ipv6(few));
  for (Conn& c : few) c.start += 1000000;
  const std::vector<Packet> tagged = packets_of(few, Link::ETHERNET, {0x8100});
  p.insert(p.end(), v6.begin(), v6.end());
  p.insert(p.end(), tagged.begin(), tagged.end());
  return p;
}

std::string capture(const std::string& name, const std::vector<Packet>& packets) {
  const std::string path = scratch_dir() + "/" + name + ".pcap";
  write_pcap(path, packets);
  return path;
}

struct SummaryCase {
  const char* name;
  std::vector<std::string> args;
};

const SummaryCase SUMMARY_CASES[] = {
    {"summary_mixed", {}},
    {"summary_mixed_decode_all", {"--decode-all"}},
    {"summary_mixed_two_ports", {"-p", "80,443"}},
};

void PrintTo(const SummaryCase& c, std::ostream* os) { *os << c.name; }

class Summary : public ::testing::TestWithParam<SummaryCase> {};

// The text a person reads, reviewed in its golden file (PORTSIFT_UPDATE_GOLDEN=1
// rewrites them after an intended change); the classic report's lines go nowhere.
TEST_P(Summary, MatchesGoldenOutput) {
  const SummaryCase& c = GetParam();
  const std::string path = capture("framings", with_other_framings());
  std::vector<std::string> args = {"-p", "80", "--summary"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  args.insert(args.end(), {"-r", path});
  const RunResult r = run_portsift(args);
  const std::string out = std::regex_replace(r.out, std::regex(path), "CAPTURE");
  const std::string golden = std::string(GOLDEN_DIR) + "/" + c.name + ".out";
  if (std::getenv("PORTSIFT_UPDATE_GOLDEN")) std::ofstream(golden, std::ios::binary) << out;
  EXPECT_EQ(out, read_file(golden));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  // libpcap's own read and filter give the same summary.
  args.insert(args.begin(), "--libpcap-read");
  EXPECT_EQ(run_portsift(args).out, r.out);
}

INSTANTIATE_TEST_SUITE_P(Golden, Summary, ::testing::ValuesIn(SUMMARY_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The same figures as --json ----

// "13 µs", "1.25 ms", "2.24 kB" as a number of microseconds or bytes.
double value_of(const std::string& figure) {
  static const std::map<std::string, double> units = {
      {"µs", 1}, {"ms", 1e3}, {"s", 1e6}, {"B", 1}, {"kB", 1e3}, {"MB", 1e6}, {"GB", 1e9}};
  const size_t blank = figure.find(' ');
  return std::stod(figure.substr(0, blank)) * units.at(figure.substr(blank + 1));
}

// Three significant figures: within half a unit of the last one shown.
void expect_near_figure(const std::string& shown, const Json& exact, const std::string& what) {
  ASSERT_TRUE(exact.is_number()) << what;
  const double v = exact.get<double>();
  EXPECT_NEAR(value_of(shown), v, std::max(v * 0.005, 0.5)) << what << ": " << shown;
}

// One port's lines of the summary, by label: "completed" -> "30 ...".
std::map<std::string, std::string> summary_lines(const std::string& block) {
  std::map<std::string, std::string> lines;
  const std::regex line("^  ([a-zA-Z][a-zA-Z ]*?)  +(.*)$");
  std::istringstream in(block);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (std::regex_match(text, m, line)) lines[m[1]] = m[2];
  }
  return lines;
}

uint64_t count_of(const std::string& text) { return std::stoull(text.substr(0, text.find(' '))); }

// "p50 13 µs      p90 15 µs" -> {"p50": "13 µs", "p90": "15 µs"}.
std::map<std::string, std::string> points_of(const std::string& text) {
  std::map<std::string, std::string> points;
  const std::regex point("(p\\d+|max) ([0-9.]+ [^ ]+)");
  for (std::sregex_iterator it(text.begin(), text.end(), point), end; it != end; ++it)
    points[(*it)[1]] = (*it)[2];
  return points;
}

// The page's cards of one port: figure -> value.
std::map<std::string, std::string> page_cards(const std::string& page, uint16_t port) {
  const std::string start = "data-port=\"" + std::to_string(port) + "\"><h2>";
  const size_t from = page.find(start);
  EXPECT_NE(from, std::string::npos) << "no section for port " << port;
  const size_t to = page.find("</section>", from);
  const std::string section = page.substr(from, to - from);
  std::map<std::string, std::string> cards;
  const std::regex card("data-figure=\"([a-z0-9_]+)\" data-value=\"([^\"]*)\"");
  for (std::sregex_iterator it(section.begin(), section.end(), card), end; it != end; ++it)
    cards[(*it)[1]] = (*it)[2];
  return cards;
}

void expect_same_figures(const std::string& name, const std::vector<std::string>& run_args) {
  SCOPED_TRACE(name);
  const std::string page_path = scratch_dir() + "/" + name + ".html";
  std::vector<std::string> args = run_args;
  args.insert(args.end(), {"--json", "--html", page_path});
  const RunResult json_run = run_portsift(args);
  ASSERT_EQ(json_run.status, 0) << json_run.err;
  const Json report = Json::parse(json_run.out);
  args = run_args;
  args.push_back("--summary");
  const RunResult summary_run = run_portsift(args);
  ASSERT_EQ(summary_run.status, 0) << summary_run.err;
  const std::string page = read_file(page_path);

  // One summary block per port, in the JSON's order.
  std::vector<std::string> blocks;
  const std::string& text = summary_run.out;
  for (size_t at = text.find("portsift summary of port"); at != std::string::npos;) {
    const size_t next = text.find("portsift summary of port", at + 1);
    blocks.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
    at = next;
  }
  ASSERT_EQ(blocks.size(), report["ports"].size());
  for (size_t i = 0; i < blocks.size(); ++i) {
    const Json& port = report["ports"][i];
    const Json& s = port["summary"];
    const Json& p = port["percentiles"];
    SCOPED_TRACE("port " + port["port"].dump());
    auto lines = summary_lines(blocks[i]);
    auto cards = page_cards(page, port["port"].get<uint16_t>());
    const uint64_t reset = s["resets"].get<uint64_t>() - s["refused"].get<uint64_t>();
    const struct {
      const char* label;
      const char* card;
      uint64_t json;
    } counts[] = {
        {"completed", "completed", s["connections"].get<uint64_t>()},
        {"refused", "refused", s["refused"].get<uint64_t>()},
        {"reset", "reset", reset},
        {"unanswered", "unanswered", s["dropped_by_server"].get<uint64_t>()},
        {"open", "open", s["in_progress"].get<uint64_t>()},
        {"SYNs", nullptr, s["syns"].get<uint64_t>()},
        {"repeated SYNs", "repeated_syns", s["duplicate_syns"].get<uint64_t>()},
    };
    for (const auto& c : counts) {
      ASSERT_TRUE(lines.count(c.label)) << c.label;
      EXPECT_EQ(count_of(lines[c.label]), c.json) << c.label;
      if (c.card != nullptr) {
        EXPECT_EQ(cards[c.card], std::to_string(c.json)) << c.card;
      }
    }
    const struct {
      const char* label;
      const char* key;
      std::vector<const char*> points;
    } spreads[] = {
        {"handshake", "handshake_us", {"p50", "p90", "p99", "max"}},
        {"duration", "duration_us", {"p50", "p90", "p99", "max"}},
        {"client bytes", "client_bytes", {"p50", "p99"}},
        {"server bytes", "server_bytes", {"p50", "p99"}},
    };
    for (const auto& spread : spreads) {
      const Json& exact = p[spread.key];
      const auto shown = points_of(lines[spread.label]);
      const std::string card_base = std::regex_replace(spread.key, std::regex("_us$"), "");
      for (const char* point : spread.points) {
        const std::string what = std::string(spread.label) + " " + point;
        if (exact[point].is_null()) {
          EXPECT_EQ(shown.count(point), 0u) << what;
          EXPECT_EQ(cards[card_base + "_" + point], "") << what;
          continue;
        }
        ASSERT_TRUE(shown.count(point)) << what << " in: " << lines[spread.label];
        expect_near_figure(shown.at(point), exact[point], what);
        // The page carries the exact figure.
        EXPECT_DOUBLE_EQ(std::stod(cards[card_base + "_" + point]), exact[point].get<double>())
            << what;
      }
    }
  }
}

TEST(SummaryAndPage, SameFiguresAsTheJsonReport) {
  const std::string mixed = capture("mixed", packets_of(mixed_and_refused()));
  const std::string framings = capture("framings", with_other_framings());
  expect_same_figures("demo", {"-p", "8080", "-r", DEMO_PCAP});
  expect_same_figures("mixed", {"-p", "80", "-r", mixed});
  expect_same_figures("mixed_server_order", {"-p", "80", "-S", "-r", mixed});
  expect_same_figures("framings_decode_all", {"-p", "80", "--decode-all", "-r", framings});
  expect_same_figures("two_ports", {"-p", "80,443", "-r", framings});
  expect_same_figures("any_port", {"-p", "any", "-r", framings});
}

// ---- What cannot be combined, and a page that cannot be written ----

TEST(SummaryAndPage, RefusedCombinations) {
  const std::string mixed = capture("mixed", packets_of(mixed_connections()));
  const std::string conns = scratch_dir() + "/conns.csv";
  const struct {
    std::vector<std::string> args;
    const char* err;
  } cases[] = {
      {{"--summary", "--json"},
       "portsift: --summary writes its report on standard output: it cannot be combined with "
       "--json, --conns - or --intervals -\n"},
      {{"--summary", "--conns", "-"},
       "portsift: --summary writes its report on standard output: it cannot be combined with "
       "--json, --conns - or --intervals -\n"},
      {{"--summary", "-V", "1"},
       "portsift: --summary replaces the text report and cannot be combined with -V 1\n"},
      {{"--html", ""}, "portsift: --html needs the name of a file to write\n"},
      {{"--html", "-"}, "portsift: --html needs the name of a file to write\n"},
      {{"--html", conns, "--conns", conns}, "portsift: --html names the file of --conns\n"},
      {{"--summary", "-w", "/dev/null"},
       "portsift: -w copies packets and makes no report; --summary and --html need a report "
       "run\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"-p", "80"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {"-r", mixed});
    const RunResult r = run_portsift(args);
    EXPECT_EQ(r.err, c.err) << c.args[0];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
}

// The page is never written over the capture it reports on.
TEST(SummaryAndPage, PageOverTheCaptureIsRefused) {
  const std::string mixed = capture("mixed", packets_of(mixed_connections()));
  const std::string before = read_file(mixed);
  const RunResult r = run_portsift({"-p", "80", "--html", mixed, "-r", mixed});
  EXPECT_EQ(r.err, "portsift: will not write --html " + mixed + " over the capture file it reads\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(mixed), before);
}

TEST(SummaryAndPage, UnwritablePageFailsTheRunAfterItsReport) {
  const std::string mixed = capture("mixed", packets_of(mixed_connections()));
  const RunResult plain = run_portsift({"-p", "80", "-r", mixed});
  const RunResult r = run_portsift({"-p", "80", "--html", "/nonexistent/page.html", "-r", mixed});
  EXPECT_EQ(r.out, plain.out);
  EXPECT_EQ(r.err, "portsift: cannot write --html /nonexistent/page.html: No such file or directory\n");
  EXPECT_EQ(r.status, 1);
}

TEST(SummaryAndPage, PageLeavesTheClassicRunAsItWasAndEscapesNames) {
  const std::string dir = scratch_dir() + "/<b>&";
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/x.pcap";
  write_pcap(path, packets_of(mixed_connections()));
  const std::string page_path = scratch_dir() + "/page.html";
  const RunResult plain = run_portsift({"-p", "80", "-r", path});
  const RunResult r = run_portsift({"-p", "80", "--html", page_path, "-r", path});
  EXPECT_EQ(r.out, plain.out);
  EXPECT_EQ(r.err, plain.err);
  EXPECT_EQ(r.status, 0);
  const std::string page = read_file(page_path);
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  EXPECT_NE(page.find("/&lt;b&gt;&amp;/x.pcap"), std::string::npos);
  EXPECT_EQ(page.substr(0, 15), "<!DOCTYPE html>");
}

}  // namespace
