// --decode-all end to end: the same connections give the same report over IPv6,
// behind VLAN tags and on every link type it reads; without the option the classic
// run sees none of them; write mode copies what the wider filter passes; the filter
// words apply inside the tags.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "testlib/capture_builder.h"
#include "testlib/connections.h"
#include "testlib/runner.h"

using namespace testlib;

namespace {

std::string capture(const std::string& name, const std::vector<Packet>& packets,
                    Link link = Link::ETHERNET) {
  const std::string path = scratch_dir() + "/" + name + ".pcap";
  write_pcap(path, packets, link);
  return path;
}

std::vector<Packet> merged(std::vector<Packet> a, const std::vector<Packet>& b) {
  a.insert(a.end(), b.begin(), b.end());
  std::stable_sort(a.begin(), a.end(), [](const Packet& x, const Packet& y) {
    return x.sec != y.sec ? x.sec < y.sec : x.usec < y.usec;
  });
  return a;
}

// Every framing --decode-all reads gives the report the classic run gives for the
// same connections over IPv4 on Ethernet, whatever the ordering: IPv6 also behind
// the extension headers it reads.
TEST(DecodeAll, SameReportOnEveryFramingAndFamily) {
  const std::vector<Ip6Header> hop_destination = {option_header(0), option_header(60, 1)},
                               routing_fragment = {option_header(43, 2), fragment_header(0)},
                               fragment = {fragment_header(0, false)};
  const struct {
    const char* name;
    Link link;
    bool ipv6;
    std::vector<uint16_t> tags;
    std::vector<Ip6Header> ip6_headers = {};
  } cases[] = {
      {"ethernet_ipv4", Link::ETHERNET, false, {}},
      {"ethernet_ipv6", Link::ETHERNET, true, {}},
      {"dot1q_ipv4", Link::ETHERNET, false, {0x8100}},
      {"qinq_ipv6", Link::ETHERNET, true, {0x88a8, 0x8100}},
      {"cooked_ipv4", Link::COOKED, false, {}},
      {"cooked_ipv6", Link::COOKED, true, {}},
      {"cooked2_ipv6", Link::COOKED2, true, {}},
      {"raw_ipv4", Link::RAW, false, {}},
      {"raw_ipv6", Link::RAW, true, {}},
      {"loopback_ipv4", Link::LOOPBACK, false, {}},
      {"loopback_ipv6", Link::LOOPBACK, true, {}},
      {"ethernet_ipv6_hop_by_hop_destination", Link::ETHERNET, true, {}, hop_destination},
      {"qinq_ipv6_routing_first_fragment",
       Link::ETHERNET,
       true,
       {0x88a8, 0x8100},
       routing_fragment},
      {"cooked_ipv6_first_fragment", Link::COOKED, true, {}, fragment},
      {"raw_ipv6_hop_by_hop_destination", Link::RAW, true, {}, hop_destination},
  };
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{}, {"-P", "-R", "-n", "8", "-s", "2"}, {"-V", "1"}}) {
    std::vector<std::string> args = {"-p", "80"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<std::string> reference_args = args;
    reference_args.insert(reference_args.end(),
                          {"-r", capture("reference", packets_of(mixed_connections()))});
    const RunResult reference = run_portsift(reference_args);
    ASSERT_EQ(reference.status, 0);
    ASSERT_NE(reference.out.find("Total Connections"), std::string::npos);
    for (const auto& c : cases) {
      const std::vector<Conn> conns = c.ipv6 ? over_ipv6(mixed_connections()) : mixed_connections();
      std::vector<std::string> run_args = args;
      run_args.insert(run_args.end(),
                      {"--decode-all", "-r",
                       capture(c.name, packets_of(conns, c.link, c.tags, c.ip6_headers), c.link)});
      // Read by the fast reader and by libpcap alone.
      for (const bool libpcap_read : {false, true}) {
        std::vector<std::string> a = run_args;
        if (libpcap_read) a.insert(a.begin(), "--libpcap-read");
        const RunResult r = run_portsift(a);
        EXPECT_EQ(r.out, reference.out) << c.name << ::testing::PrintToString(a);
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(r.status, 0) << c.name;
      }
    }
  }
}

// A loopback capture from a host of the other byte order: the IPv6 family word reads
// swapped, and still passes the filter and the decoder.
TEST(DecodeAll, LoopbackIpv6FromTheOtherByteOrder) {
  const std::string path = scratch_dir() + "/swapped.pcap";
  write_bytes(path,
              pcap_bytes_other_order(packets_of(over_ipv6(mixed_connections()), Link::LOOPBACK),
                                     Link::LOOPBACK));
  const RunResult r = run_portsift({"--decode-all", "-p", "80", "-r", path, "-V", "1"});
  const RunResult reference = run_portsift(
      {"-p", "80", "-r", capture("swapped_ref", packets_of(mixed_connections())), "-V", "1"});
  EXPECT_EQ(r.out, reference.out);
  EXPECT_EQ(r.status, 0);
}

// Without --decode-all a capture that also holds IPv6 and tagged connections reports
// exactly what it reports for its untagged IPv4 ones.
TEST(DecodeAll, ClassicRunSeesOnlyUntaggedIpv4) {
  std::vector<Conn> v6 = over_ipv6(mixed_connections()), tagged = mixed_connections();
  for (Conn& c : tagged) c.port = static_cast<uint16_t>(c.port + 1000);
  const std::vector<Packet> v4 = packets_of(mixed_connections());
  const std::string all = capture(
      "all", merged(merged(v4, packets_of(v6)), packets_of(tagged, Link::ETHERNET, {0x8100})));
  const std::string only_v4 = capture("only_v4", v4);
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{}, {"-V", "999"}, {"-D", "0", "-c", "2", "-d"}}) {
    std::vector<std::string> a = {"-p", "80", "-r", all}, b = {"-p", "80", "-r", only_v4};
    a.insert(a.end(), options.begin(), options.end());
    b.insert(b.end(), options.begin(), options.end());
    const RunResult with_others = run_portsift(a), reference = run_portsift(b);
    EXPECT_EQ(normalize_prefix(with_others.out), normalize_prefix(reference.out))
        << ::testing::PrintToString(options);
    EXPECT_EQ(with_others.status, 0);
  }
  // With the option the same capture counts all three copies.
  const RunResult r = run_portsift({"--decode-all", "-p", "80", "-r", all, "-V", "1"});
  EXPECT_NE(r.out.find("Total Connections: 18\n"), std::string::npos) << r.out;
}

// Write mode copies what the wider filter passes: the port's SYN, FIN and RST
// segments over IPv6 (also behind the extension headers the decoder reads) and
// behind tags, and nothing else.
TEST(DecodeAll, WriteModeCopiesOnlyThePortsHandshakeAndCloseSegments) {
  auto tagged = [](Seg s, std::vector<uint16_t> tags) {
    s.vlan_tags = std::move(tags);
    return s;
  };
  Seg v6_data = as_ipv6(client_fin(1001, 9001, 100));
  v6_data.flags = ACK | PSH;
  Seg v6_other_port = as_ipv6(syn(7));
  v6_other_port.dport = 81;
  const auto behind = [](Seg s, std::vector<Ip6Header> headers) {
    s.ip6_headers = std::move(headers);
    return s;
  };
  const Seg v6_behind_three =
      behind(as_ipv6(syn(8)), {option_header(0), option_header(43, 1), option_header(60)});
  Seg v6_data_behind_hop = behind(v6_data, {option_header(0)});
  Seg v6_other_port_behind_fragment = behind(v6_other_port, {fragment_header(0)});
  Seg v4_other_port_tagged = tagged(syn(9), {0x8100});
  v4_other_port_tagged.dport = 81;
  const std::vector<Packet> packets = {
      at(10, 0, as_ipv6(syn(1000))),                              // copied
      at(10, 10, tagged(as_ipv6(synack(9000, 1001)), {0x8100})),  // copied
      at(10, 20, v6_data),
      at(10, 30, v6_other_port),
      at(10, 40, v6_behind_three),
      at(10, 50, tagged(server_fin(9001, 1001), {0x88a8, 0x8100})),  // copied
      at(10, 60, v4_other_port_tagged),
      at(10, 70, tagged(syn(5), {0x8100, 0x8100, 0x8100})),     // three tags: too deep
      at(10, 80, syn(6)),                                       // copied
      at(10, 90, tagged(as_ipv6(client_rst(1001)), {0x9100})),  // copied
      at(11, 0, behind(as_ipv6(syn(2000)), {option_header(0), option_header(60, 1)})),  // copied
      at(11, 10,
         tagged(behind(as_ipv6(server_rst(9001)), {option_header(43, 2), fragment_header(0)}),
                {0x8100})),                                                              // copied
      at(11, 20, behind(as_ipv6(client_fin(1001, 9001)), {fragment_header(0, false)})),  // copied
      at(11, 30, behind(as_ipv6(syn(2001)), {fragment_header(1)})),  // a later fragment
      at(11, 40, behind(as_ipv6(syn(2002)), {option_header(0), fragment_header(0x1fff, false)})),
      at(11, 50, v6_data_behind_hop),
      at(11, 60, v6_other_port_behind_fragment),
      at(11, 70, behind(as_ipv6(syn(2003)), {fragment_header(0), option_header(60)})),
  };
  const std::string in = capture("to_copy", packets), out = scratch_dir() + "/copied.pcap";
  const RunResult r = run_portsift({"--decode-all", "-p", "80", "-r", in, "-w", out});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  const std::vector<Packet> copied = read_pcap(out);
  const std::vector<size_t> expected = {0, 1, 5, 8, 9, 10, 11, 12};
  ASSERT_EQ(copied.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(copied[i].data, packets[expected[i]].data) << i;
  // The classic filter copies the one untagged IPv4 segment.
  const RunResult classic = run_portsift({"-p", "80", "-r", in, "-w", out});
  EXPECT_EQ(classic.status, 0);
  ASSERT_EQ(read_pcap(out).size(), 1u);
  EXPECT_EQ(read_pcap(out)[0].data, packets[8].data);
}

// The words after the options narrow the traffic inside the tags, in either family.
TEST(DecodeAll, FilterWordsApplyInsideTheTags) {
  std::vector<Conn> conns = mixed_connections(), v6 = over_ipv6(mixed_connections());
  const std::string path =
      capture("words", merged(packets_of(conns, Link::ETHERNET, {0x8100}), packets_of(v6)));
  const struct {
    std::vector<std::string> words;
    const char* total;
  } cases[] = {
      {{"host", "10.0.0.3"}, "Total Connections: 1\n"},
      {{"host", "2001:db8::3", "or", "host", "10.0.0.4"}, "Total Connections: 2\n"},
      {{"not", "ip6"}, "Total Connections: 6\n"},
      {{"ip6"}, "Total Connections: 6\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--decode-all", "-p", "80", "-r", path, "-V", "1"};
    args.insert(args.end(), c.words.begin(), c.words.end());
    const RunResult r = run_portsift(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(c.total), std::string::npos) << ::testing::PrintToString(c.words) << "\n"
                                                      << r.out;
  }
}

// The link types: refused without the option as always (a person at a terminal is
// told of the option), read with it; one it does not know is refused either way.
TEST(DecodeAll, LinkTypes) {
  const std::vector<Packet> one = {at(1, 0, syn(1))};
  const struct {
    int dlt;
    bool read_with_option;
  } cases[] = {{113, true}, {276, true}, {228, true}, {229, true}, {9, false}};
  for (const auto& c : cases) {
    const std::string path = scratch_dir() + "/link" + std::to_string(c.dlt) + ".pcap";
    write_pcap_dlt(path, one, c.dlt);
    const RunResult classic = run_portsift({"-p", "80", "-r", path});
    EXPECT_EQ(classic.out, "Unknown datalink type: " + std::to_string(c.dlt) + "\n");
    EXPECT_EQ(classic.err, "");  // the hint is for terminals only
    EXPECT_EQ(classic.status, 1);
    RunOptions at_terminal;
    at_terminal.stderr_on_terminal = true;
    const RunResult seen = run_portsift({"-p", "80", "-r", path}, at_terminal);
    EXPECT_EQ(seen.out, classic.out);
    EXPECT_EQ(seen.status, 1);
    EXPECT_EQ(seen.err.find("portsift: --decode-all reads link type " + std::to_string(c.dlt)),
              c.read_with_option ? 0 : std::string::npos)
        << seen.err;
    const RunResult wide = run_portsift({"--decode-all", "-p", "80", "-r", path, "-V", "1"});
    EXPECT_EQ(wide.status, c.read_with_option ? 0 : 1) << c.dlt;
    if (!c.read_with_option) {
      EXPECT_EQ(wide.out, "Unknown datalink type: " + std::to_string(c.dlt) + "\n");
    }
  }
}

// A file whose packets the classic run passes over: a person at a terminal is told of
// the option once the report is out; a script, or a run that matched something, or
// one with the option, or an empty file, sees nothing more.
TEST(DecodeAll, NoMatchHintAtATerminal) {
  const std::string v6 = capture("hint_v6", packets_of(over_ipv6(mixed_connections())));
  const std::string tagged =
      capture("hint_tagged", packets_of(mixed_connections(), Link::ETHERNET, {0x8100}));
  const std::string v4 = capture("hint_v4", packets_of(mixed_connections()));
  const std::string empty = capture("hint_empty", {});
  const std::string hint =
      "portsift: no packet of the capture was an IPv4 SYN, FIN or RST of port 80; "
      "--decode-all also reads IPv6, VLAN-tagged, Linux cooked and raw IP frames\r\n";
  const struct {
    std::vector<std::string> args;
    bool terminal;
    bool hinted;
  } cases[] = {
      {{"-p", "80", "-r", v6}, true, true},
      {{"-p", "80", "-r", tagged, "-V", "1"}, true, true},
      {{"-p", "80", "-r", v6}, false, false},
      {{"-p", "80", "-r", v4}, true, false},
      {{"-p", "80", "-r", empty}, true, false},
      {{"--decode-all", "-p", "81", "-r", v6}, true, false},
  };
  for (const auto& c : cases) {
    RunOptions opts;
    opts.stderr_on_terminal = c.terminal;
    const RunResult r = run_portsift(c.args, opts);
    const RunResult plain = run_portsift(c.args);
    EXPECT_EQ(r.status, 0) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.out, plain.out);
    EXPECT_EQ(r.err, c.hinted ? hint : "") << ::testing::PrintToString(c.args);
  }
}

}  // namespace
