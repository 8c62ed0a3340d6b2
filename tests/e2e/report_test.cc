// Reports end to end: captures built in code, the real binary, and the exact
// standard output compared with a reviewed golden file per case. Set
// PORTSIFT_UPDATE_GOLDEN=1 to rewrite the golden files after an intended change,
// then read the difference.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "testlib/files.h"
#include "testlib/capture_builder.h"
#include "testlib/connections.h"
#include "testlib/runner.h"

using namespace testlib;

namespace {

// The worked example: 501 client bytes, 3001 server bytes, 250 ms, answered after
// more than 1.1 s so it has no round-trip estimate.
std::vector<Conn> worked() {
  Conn c;
  c.fin_at = 250700;
  c.client_bytes = 501;
  c.server_bytes = 3001;
  c.answer_at = 1400000;
  return {c};
}

// 40 connections that needed 43 SYNs: three of them needed two.
std::vector<Conn> forty() {
  std::vector<Conn> v;
  for (int i = 0; i < 40; ++i) {
    Conn c;
    c.port = static_cast<uint16_t>(6000 + i);
    c.start = i * 10000;
    c.syns = i < 3 ? 2 : 1;
    c.synack_at = c.syns * 1000;
    c.fin_at = c.synack_at + 5000;
    c.answer_at = c.fin_at + 2000;
    v.push_back(c);
  }
  return v;
}

// Two counted connections that needed 1 and 3 SYNs.
std::vector<Conn> one_and_three() {
  Conn a;
  a.fin_at = 20000, a.answer_at = 21000;
  Conn b;
  b.port = 6000, b.start = 30000, b.syns = 3, b.synack_at = 3000, b.fin_at = 50000;
  b.answer_at = 51000;
  return {a, b};
}

// Packets from 10:00:00.000 to 10:00:30.000.
std::vector<Packet> thirty_seconds() {
  const int64_t ten = 36000;  // 10:00:00 on 1970-01-01
  Seg late = syn(5);
  late.sport = 6000;
  return {at(ten, 0, syn(1000)), at(ten + 30, 0, late)};
}

// Status lines at packets 1, 101 and 201, then the open listing in key order; the
// record aged exactly 1000 ms at the end is neither listed nor counted.
std::vector<Packet> status_run() {
  std::vector<Packet> p;
  const char* clients[] = {"10.0.0.2", "10.0.0.16", "10.1.2.0", "10.0.0.1"};
  int i = 0;
  for (const char* addr : clients) {
    Seg s = syn(100);
    s.src = addr;
    s.dst = "10.0.0.99";
    s.sport = static_cast<uint16_t>(i % 2 ? 80 : 5555);
    s.dport = static_cast<uint16_t>(i % 2 ? 5555 : 80);
    p.push_back(at(BASE_SEC, i * 1000, s));
    if (i < 3) {
      Seg sa = s;
      std::swap(sa.src, sa.dst);
      std::swap(sa.sport, sa.dport);
      sa.flags = SYN | ACK;
      sa.ack = 101;
      p.push_back(at(BASE_SEC, i * 1000 + 500, sa));
    }
    ++i;
  }
  // Unmatched FINs to the port: delivered, counted as packets, change nothing.
  for (int k = 0; p.size() < 249; ++k) {
    Seg f = client_fin(1, 1);
    f.src = "10.9.9.9";
    f.sport = static_cast<uint16_t>(10000 + k);
    p.push_back(at(BASE_SEC, 10000 + k * 8000, f));
  }
  // The last packet comes exactly 1000 ms after the SYN of 10.1.2.0, 1002 ms after
  // that of 10.0.0.2.
  Seg last = client_fin(1, 1);
  last.src = "10.9.9.8";
  p.push_back(at(BASE_SEC + 1, 2000, last));
  return p;
}

// The mixed connections twice: over IPv4 as they are, and over IPv6 behind a VLAN
// tag on ports 1000 higher (so the copies' key texts and addresses order apart).
std::vector<Packet> both_families() {
  std::vector<Conn> v6 = over_ipv6(mixed_connections());
  for (Conn& c : v6) c.port = static_cast<uint16_t>(c.port + 1000);
  std::vector<Packet> p = packets_of(mixed_connections());
  const std::vector<Packet> tagged = packets_of(v6, Link::ETHERNET, {0x8100});
  p.insert(p.end(), tagged.begin(), tagged.end());
  std::stable_sort(p.begin(), p.end(), [](const Packet& a, const Packet& b) {
    return a.sec != b.sec ? a.sec < b.sec : a.usec < b.usec;
  });
  return p;
}

// The worked example over IPv6 behind two tags, and a connection reset after its
// handshake.
std::vector<Packet> worked_ipv6_reset() {
  Conn reset;
  reset.client = "10.0.0.7", reset.port = 4004, reset.start = 1500000, reset.rst_at = 9000;
  std::vector<Conn> conns = worked();
  conns.push_back(reset);
  return packets_of(over_ipv6(conns), Link::ETHERNET, {0x88a8, 0x8100});
}

// Connections whose server answered the established attempt a second time with
// another ISN (a Fast Open retry, a middlebox answering in its name): the bytes stay
// counted from the ISN that established each. The first closes from the client; the
// second from the server, its ISN 296 below 2^32 so that the count wraps; the third
// stays open with its two SYN-ACKs.
std::vector<Packet> stray_synacks() {
  auto on_port = [](Seg s, uint16_t port) {
    (s.sport == 80 ? s.dport : s.sport) = port;
    return s;
  };
  return {
      at(BASE_SEC, 0, syn(1000)),
      at(BASE_SEC, 3500, synack(9000, 1001)),
      at(BASE_SEC, 10000, synack(2000000000, 1001)),
      at(BASE_SEC, 250700, client_fin(1501, 12001)),
      at(BASE_SEC, 290700, server_fin(12001, 1502)),
      at(BASE_SEC, 500000, on_port(syn(7000), 6000)),
      at(BASE_SEC, 502000, on_port(synack(4294967000u, 7001), 6000)),
      at(BASE_SEC, 503000, on_port(synack(123456, 7001), 6000)),
      at(BASE_SEC, 700000, on_port(server_fin(2705, 7301), 6000)),
      at(BASE_SEC, 720000, on_port(client_fin(7301, 2706), 6000)),
      at(BASE_SEC, 800000, on_port(syn(500), 7000)),
      at(BASE_SEC, 801000, on_port(synack(600, 501), 7000)),
      at(BASE_SEC + 1, 0, on_port(synack(77777, 501), 7000)),
  };
}

struct ReportCase {
  const char* name;
  std::function<std::vector<Packet>()> capture;
  std::vector<std::string> args;  // the capture file is added as -r
  std::string err = "";
  int status = 0;
};

std::vector<Packet> from(const std::vector<Conn>& c) { return packets_of(c); }

const std::string FILTER = "(tcp port 80)&&((tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0)";
const std::string RTT_FILE_NOTE =
    "RTT Estimation enabled.\nEstimates will be wrong if this trace was captured on the server "
    "for port 80\n";

const ReportCase CASES[] = {
    {"worked_default", [] { return from(worked()); }, {}},
    {"stray_synack", stray_synacks, {}},
    {"stray_synack_raw_filters", stray_synacks, {"-R", "-S", "-s", "1", "-D", "2"}},
    {"stray_synack_debug", stray_synacks, {"-d"}},
    {"stray_synack_open", stray_synacks, {"-V", "999", "-m", "100"}},
    {"worked_raw", [] { return from(worked()); }, {"-R"}},
    {"worked_rtt_on", [] { return from(worked()); }, {"-T"}, RTT_FILE_NOTE},
    {"worked_debug", [] { return from(worked()); }, {"-d"}},
    {"worked_debug2", [] { return from(worked()); }, {"-dd"}},
    {"mixed_duration", [] { return from(mixed_connections()); }, {}},
    {"mixed_duration_raw", [] { return from(mixed_connections()); }, {"-R"}},
    {"mixed_duration_rtt",
     [] { return from(mixed_connections()); },
     {"-T", "-n", "6", "-s", "50"},
     RTT_FILE_NOTE},
    {"mixed_duration_rtt_raw",
     [] { return from(mixed_connections()); },
     {"-T", "-R", "-n", "6", "-s", "50"},
     RTT_FILE_NOTE},
    {"mixed_throughput", [] { return from(mixed_connections()); }, {"-P", "-n", "8", "-s", "2"}},
    {"mixed_throughput_raw",
     [] { return from(mixed_connections()); },
     {"-P", "-R", "-n", "8", "-s", "2"}},
    {"mixed_throughput_rtt",
     [] { return from(mixed_connections()); },
     {"-P", "-T", "-n", "8", "-s", "2"},
     RTT_FILE_NOTE},
    {"mixed_throughput_rtt_raw",
     [] { return from(mixed_connections()); },
     {"-P", "-T", "-R", "-n", "8", "-s", "2"},
     RTT_FILE_NOTE},
    {"mixed_client", [] { return from(mixed_connections()); }, {"-C", "-n", "8", "-s", "1"}},
    {"mixed_client_raw",
     [] { return from(mixed_connections()); },
     {"-C", "-R", "-n", "8", "-s", "1"}},
    {"mixed_server", [] { return from(mixed_connections()); }, {"-S", "-n", "7", "-s", "10"}},
    {"mixed_server_raw",
     [] { return from(mixed_connections()); },
     {"-S", "-R", "-n", "7", "-s", "10"}},
    {"mixed_server_rtt",
     [] { return from(mixed_connections()); },
     {"-S", "-T", "-n", "7", "-s", "10"},
     RTT_FILE_NOTE},
    {"mixed_server_rtt_raw",
     [] { return from(mixed_connections()); },
     {"-S", "-T", "-R", "-n", "7", "-s", "10"},
     RTT_FILE_NOTE},
    {"mixed_client_from_2kb",
     [] { return from(mixed_connections()); },
     {"-C", "-s", "1", "-y", "2048"}},
    {"mixed_server_window",
     [] { return from(mixed_connections()); },
     {"-S", "-s", "4", "-Y", "4096", "-X", "60000", "-D", "40"}},
    {"mixed_filters_duration", [] { return from(mixed_connections()); }, {"-D", "240"}},
    {"mixed_filters_open", [] { return from(mixed_connections()); }, {"-D", "400"}},
    {"mixed_filters_throughput", [] { return from(mixed_connections()); }, {"-P", "-D", "60"}},
    {"mixed_filters_client",
     [] { return from(mixed_connections()); },
     {"-C", "-s", "1", "-D", "1"}},
    {"mixed_filters_empty_range", [] { return from(mixed_connections()); }, {"-D", "100"}},
    {"mixed_considering",
     [] { return from(mixed_connections()); },
     {"-x", "60000", "-X", "60000", "-y", "100", "-Y", "100"}},
    {"mixed_min_syns", [] { return from(mixed_connections()); }, {"-c", "2"}},
    {"mixed_brief", [] { return from(mixed_connections()); }, {"-V", "1"}},
    {"mixed_open", [] { return from(mixed_connections()); }, {"-V", "999"}},
    {"mixed_open_status", [] { return from(mixed_connections()); }, {"-V", "999", "-m", "100"}},
    {"no_connections", [] { return std::vector<Packet>{at(BASE_SEC, 0, syn(1))}; }, {}},
    {"no_connections_filters",
     [] { return std::vector<Packet>{at(BASE_SEC, 0, syn(1))}; },
     {"-D", "0", "-R"}},
    {"empty_capture", [] { return std::vector<Packet>{}; }, {}},
    {"forty_connections", [] { return from(forty()); }, {"-n", "2", "-s", "10"}},
    {"one_and_three_syns", [] { return from(one_and_three()); }, {"-V", "1"}},
    {"thirty_seconds", thirty_seconds, {"-V", "1"}},
    {"status_lines", status_run, {"-V", "999", "-m", "1000"}},
    {"status_single_precision",
     [] {
       Seg late = syn(5);
       late.sport = 6000;
       return std::vector<Packet>{at(BASE_SEC, 0, syn(1)), at(BASE_SEC + 16776, 217000, late)};
     },
     {"-V", "999", "-m", "1000"}},
    {"since_after_last_packet", [] { return from(worked()); }, {"-d", "-I", "23:59:59"}},
    // --decode-all: IPv6 addresses in every listing, after the IPv4 ones.
    {"decode_all_open_status", both_families, {"--decode-all", "-V", "999", "-m", "100"}},
    {"decode_all_filters_min_syns",
     both_families,
     {"--decode-all", "-D", "0", "-c", "2", "-n", "2", "-s", "200"}},
    {"decode_all_debug2", worked_ipv6_reset, {"--decode-all", "-dd"}},
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

using testlib::read_file;

class Report : public ::testing::TestWithParam<ReportCase> {};

TEST_P(Report, MatchesGoldenOutput) {
  const ReportCase& c = GetParam();
  const std::string capture = scratch_dir() + "/" + c.name + ".pcap";
  write_pcap(capture, c.capture());
  std::vector<std::string> args = {"-p", "80"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  args.insert(args.end(), {"-r", capture});
  RunResult r = run_portsift(args);
  const std::string golden = std::string(GOLDEN_DIR) + "/" + c.name + ".out";
  const std::string out = normalize_prefix(r.out);
  if (std::getenv("PORTSIFT_UPDATE_GOLDEN")) std::ofstream(golden, std::ios::binary) << out;
  EXPECT_EQ(out, read_file(golden));
  EXPECT_EQ(normalize_prefix(r.err), c.err);
  EXPECT_EQ(r.status, c.status);
  // The file read by libpcap alone gives the same bytes.
  args.insert(args.begin(), "--libpcap-read");
  RunResult by_libpcap = run_portsift(args);
  EXPECT_EQ(by_libpcap.out, r.out);
  EXPECT_EQ(by_libpcap.err, r.err);
  EXPECT_EQ(by_libpcap.status, r.status);
}

INSTANTIATE_TEST_SUITE_P(Golden, Report, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// The rows and lines the golden files must hold, as a user reads them.
TEST(ReportLines, KnownRowsAppearInTheGoldenFiles) {
  const struct {
    const char* golden;
    const char* line;
  } expected[] = {
      {"worked_default",
       "  240 - 260          1(100.00%)      501      3001       -       13.00\n"},
      {"worked_default", "  400+               0( 0.00%)      -         -         -\n"},
      {"worked_default", "Results of monitoring port 80 for 2.400000 seconds\n"},
      {"worked_raw", "240,260,1,100.00%,501,3001,,13.00\n"},
      {"worked_rtt_on", "  240 - 260          1(100.00%)      501      3001         0     13.00\n"},
      {"worked_debug", "10.0.0.1:5555 > 10.0.0.2:80 F SEQ:1501(501),ACK:12001(3001),MSECS:250\n"},
      {"mixed_client_from_2kb", "    2 - 3     "},
      {"mixed_filters_duration",
       "Connections for which duration was between 240 and 260 msecs:\n"
       "host 10.0.0.1 and host 10.0.0.2 and port 5555\n"},
      {"mixed_filters_open", "Connections for which duration was 400+ msecs:\n"},
      {"mixed_filters_empty_range",
       "Connections for which duration was between 100 and 120 msecs:\n"},
      {"mixed_min_syns", "NSYNS=2:host 10.0.0.4 and port 4001\n"},
      {"mixed_duration",
       "Number of established connections in progress: 3 (1 may have been discarded by the "
       "client)\n"},
      {"no_connections", "No connections\n"},
      {"forty_connections", "Avg no. of SYNs to establish a connection:  1.08\n"},
      {"one_and_three_syns", "(nSYNs:nConns): 1:1,3:1,\n"},
      {"thirty_seconds", "for 31.000000 seconds\n"},
      {"status_single_precision", "2, 16777.216000 0\n"},
  };
  for (const auto& e : expected) {
    std::string text = read_file(std::string(GOLDEN_DIR) + "/" + e.golden + ".out");
    EXPECT_NE(text.find(e.line), std::string::npos) << e.golden << " lacks: " << e.line;
  }
}

TEST(DamagedCapture, ReportsWhatWasReadAndWarns) {
  const std::string whole = scratch_dir() + "/whole.pcap", cut = scratch_dir() + "/cut.pcap";
  write_pcap(whole, from(worked()));
  std::filesystem::copy_file(whole, cut);
  // Cut the last packet (the answering FIN) in the middle.
  std::filesystem::resize_file(cut, std::filesystem::file_size(whole) - 20);
  RunResult r = run_portsift({"-p", "80", "-r", cut});
  RunResult expected = run_portsift({"-p", "80", "-r", whole});
  EXPECT_EQ(r.status, 0);
  // Without the answering FIN the connection is still closing at the end.
  EXPECT_NE(r.out.find("Number of connections in closing state: 1\n"), std::string::npos);
  EXPECT_NE(r.out.find("  240 - 260          1(100.00%)"), std::string::npos);
  EXPECT_EQ(r.err, "Warning: " + cut +
                       " ended with a read error: truncated dump file; tried to read 54 captured "
                       "bytes, only got 34; the report covers the packets read before it\n");
  EXPECT_EQ(expected.err, "");
}

}  // namespace
