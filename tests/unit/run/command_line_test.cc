// The command line: derived settings (defaults, the -D range, the byte orderings'
// bucket layout), atoi numbers, POSIX order, the -I text read once.
#include "run/command_line.h"

#include <gtest/gtest.h>
#include <pcap/dlt.h>

#include <cstdint>

#include "common/settings.h"
#include "run/capture_filter.h"
#include "run/source.h"
#include "testlib/argv.h"
#include "testlib/captured_stream.h"

namespace {

// What the parser makes of "portsift" followed by `args`.
ParseResult parse_result(std::vector<std::string> args, Settings* settings) {
  args.insert(args.begin(), "portsift");
  testlib::Argv argv(std::move(args));
  return parse_options(argv.argc(), argv.argv(), settings);
}

// The settings of a command line the parser accepts.
Settings parse(const std::vector<std::string>& args) {
  Settings s;
  const ParseResult r = parse_result(args, &s);
  EXPECT_TRUE(r.run) << ::testing::PrintToString(args) << ": " << r.err;
  return s;
}

struct LayoutCase {
  std::vector<std::string> args;
  int nbuckets, bucket_size;
  uint32_t bucket_base;
  int filter_to;
};

TEST(CommandLine, DerivedLayout) {
  const LayoutCase cases[] = {
      {{"-p", "80"}, 20, 20, 0, 19},  // -D not given: 19 = -1 + 20, never consulted
      {{"-p", "80", "-D", "40"}, 20, 20, 0, 60},
      {{"-p", "80", "-D", "399"}, 20, 20, 0, 419},
      {{"-p", "80", "-D", "400"}, 20, 20, 0, -1},
      {{"-p", "80", "-C", "-s", "1", "-y", "2048"}, 20, 1, 2, 0},
      {{"-p", "80", "-C", "-s", "1", "-y", "2048", "-x", "10240"}, 9, 1, 2, 0},
      // base (8192 / 1024) / 2 = 4; k = (20480 / 2) / 1024 - (8192 / 2) / 1024 + 1 = 7
      {{"-p", "80", "-S", "-s", "2", "-Y", "8192", "-X", "20480"}, 7, 2, 4, 1},
      // -y shapes only the client ordering.
      {{"-p", "80", "-S", "-s", "1", "-y", "2048"}, 20, 1, 0, 0},
      // The -D range is derived before the byte layout lowers nbuckets.
      {{"-p", "80", "-C", "-s", "1", "-x", "3072", "-D", "10"}, 4, 1, 0, 11},
      // Write mode neither defaults nor divides by the bucket size.
      {{"-p", "80", "-w", "/dev/null", "-C", "-y", "2048", "-x", "4096"}, 0, 0, 0, -1},
  };
  for (const LayoutCase& c : cases) {
    const Settings s = parse(c.args);
    std::string what = ::testing::PrintToString(c.args);
    EXPECT_EQ(s.nbuckets, c.nbuckets) << what;
    EXPECT_EQ(s.bucket_size, c.bucket_size) << what;
    EXPECT_EQ(s.bucket_base, c.bucket_base) << what;
    EXPECT_EQ(s.filter_to, c.filter_to) << what;
  }
}

TEST(CommandLine, NumbersFollowAtoiAndSignWidening) {
  const Settings s =
      parse({"-p", "65616", "-x", "-1", "-Y", "-2", "-c", "abc", "-t", "7x", "-d", "-d", "-T", "-T"});
  EXPECT_EQ(s.port, 80);
  EXPECT_EQ(s.max_client_bytes, UINT64_MAX);
  EXPECT_EQ(s.min_server_bytes, UINT64_MAX - 1);
  EXPECT_EQ(s.min_syns, 0u);
  EXPECT_EQ(s.run_time, 7);
  EXPECT_EQ(s.debug, 2);
  EXPECT_TRUE(s.rtt_enabled);
  EXPECT_EQ(s.nbuckets, 20);
}

// Every refusal comes back as what main() prints and the status it exits with; the
// messages, their stream and whether the usage text follows are the program's.
TEST(CommandLine, RefusalsAreReturnedNotActedOn) {
  const struct {
    std::vector<std::string> args;
    std::string out, err;
    bool usage;
    int status;
  } cases[] = {
      {{}, "", "Port must be specified\n", true, 1},
      {{"-p", "80", "-P", "-C"}, "", "Only one of -S,-P or -C please\n", true, 1},
      {{"-x", "100", "-y", "100"}, "", "Client requests < 100 and > 100?\n", true, 1},
      {{"-p", "80", "-X", "-5", "-Y", "-2"}, "", "Server responses < -5 and > -2?\n", true, 1},
      {{"-p", "80", "-t", "0"}, "", "Illegal value for options\n", false, 1},
      {{"-p", "80", "-m", "500"}, "portsift: illegal option -- m\n", "", true, 1},
      {{"-p", "80", "-I", "25:00:00"}, "", "Illegal time string\n", true, 1},
      {{"-p", "80", "-I", "12:00:00x"}, "", "Illegal time string: x\n", true, 1},
      // A second -r: the usage text alone.
      {{"-p", "80", "-r", "a", "-r", "b"}, "", "", true, 1},
      {{"-p", "80", "--max-conns", "0"},
       "",
       "portsift: --max-conns takes a number of connections from 1 to 4294967294, not '0'\n",
       true,
       1},
      {{"-p", "80", "--conns", ""},
       "",
       "portsift: --conns needs a file name, or - for standard output\n",
       false,
       1},
      {{"-p", "80", "-r", "x", "--intervals", "rows.csv"},
       "",
       "portsift: --intervals needs --interval SECS\n",
       false,
       1},
      {{"-p", "80", "-w", "out.pcap", "--json"},
       "",
       "portsift: -w copies packets and makes no report; --conns, --intervals, --interval and "
       "--json need a report run\n",
       false,
       1},
      {{"-p", "80,80"}, "", "portsift: -p 80,80: port 80 is named twice\n", false, 1},
      {{"-p", "80", "--max-ports", "9"}, "", "portsift: --max-ports bounds the ports -p any finds; give -p any with it\n",
       false, 1},
      {{"-p", "any", "--max-ports", "0"},
       "",
       "portsift: --max-ports takes a number of ports from 1 to 65535, not '0'\n",
       true,
       1},
      {{"--version"}, "portsift " PORTSIFT_VERSION "\n", "", false, 0},
  };
  for (const auto& c : cases) {
    Settings s;
    const ParseResult r = parse_result(c.args, &s);
    const std::string what = ::testing::PrintToString(c.args);
    EXPECT_FALSE(r.run) << what;
    EXPECT_EQ(r.out, c.out) << what;
    EXPECT_EQ(r.err, c.err) << what;
    EXPECT_EQ(r.usage, c.usage) << what;
    EXPECT_EQ(r.status, c.status) << what;
  }
  Settings s;
  const ParseResult help = parse_result({"-p", "80", "--help"}, &s);
  EXPECT_FALSE(help.run);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: portsift -p port [-d]", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("\nLong options:\n  --help"), std::string::npos) << help.out;
}

// -p names one port, a list (in its order, a range ascending), or every port.
TEST(CommandLine, PortsAsTheyAreNamed) {
  const struct {
    std::vector<std::string> args;
    std::vector<uint16_t> ports;
    bool any;
    uint16_t port;
  } cases[] = {
      {{"-p", "80"}, {80}, false, 80},
      {{"-p", "65616"}, {80}, false, 80},  // one port: its low 16 bits, as ever
      {{"-p", "443,80,8000-8002"}, {443, 80, 8000, 8001, 8002}, false, 443},
      {{"-p", "any"}, {}, true, 0},
      {{"-p", "any", "-p", "22"}, {22}, false, 22},  // the last -p counts
      {{"-p", "80,"}, {80}, false, 80},              // not a list: atoi()'s 80
  };
  for (const auto& c : cases) {
    const Settings s = parse(c.args);
    const std::string what = ::testing::PrintToString(c.args);
    EXPECT_EQ(s.ports, c.ports) << what;
    EXPECT_EQ(s.any_port, c.any) << what;
    EXPECT_EQ(s.port, c.port) << what;
  }
  EXPECT_EQ(parse({"-p", "any", "--max-ports", "7"}).max_ports, 7u);
  EXPECT_EQ(parse({"-p", "any"}).max_ports, DEFAULT_MAX_PORTS);
}

TEST(CommandLine, LastValueCountsAndWordsAfterFirstNonOption) {
  const Settings s =
      parse({"-p", "81", "-n", "5", "-n", "7", "-p", "80", "host", "10.0.0.1", "-d"});
  EXPECT_EQ(s.port, 80);
  EXPECT_EQ(s.nbuckets, 7);
  EXPECT_EQ(s.debug, 0);
  EXPECT_EQ(s.filter_words, (std::vector<std::string>{"host", "10.0.0.1", "-d"}));
}

TEST(CommandLine, LongFileNamesAreCut) {
  const Settings s = parse({"-p", "80", "-r", std::string(5000, 'a')});
  EXPECT_EQ(s.read_file, std::string(1023, 'a'));
}

TEST(CommandLine, SinceTextIsReadOnceIntoCalendarFields) {
  const Settings dated = parse({"-p", "80", "-I", "2021-03-05.00:00:10"});
  const struct tm& t = dated.since_fields;
  EXPECT_EQ(t.tm_year, 121);
  EXPECT_EQ(t.tm_mon, 2);
  EXPECT_EQ(t.tm_mday, 5);
  EXPECT_EQ(t.tm_sec, 10);
  const Settings s = parse({"-p", "80", "-I", "12:34:56"});
  EXPECT_EQ(s.since_fields.tm_mday, 0);  // no date: the first packet's
  EXPECT_EQ(s.since_fields.tm_hour, 12);
  EXPECT_EQ(s.since_fields.tm_min, 34);
}

TEST(FilterExpression, FixedPartAndWords) {
  EXPECT_EQ(filter_expression(80, {}),
            "(tcp port 80)&&((tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0)");
  EXPECT_EQ(filter_expression(80, {"host", "10.1.2.3"}),
            "(tcp port 80)&&((tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0)&&(host 10.1.2.3 )");
}

TEST(FilterExpression, DecodeAllAddsIpv6AndTagsOnEthernet) {
  // What the IPv6 part passes is proven against the decoder (decode_all_filter_test);
  // here, how the parts and the words are put together.
  const std::string v4 = "((tcp port 80)&&((tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0))";
  const std::string bare = decode_all_filter_expression(80, {}, DLT_LINUX_SLL);
  ASSERT_EQ(bare.compare(0, v4.size() + 3, "(" + v4 + "||"), 0) << bare;
  ASSERT_EQ(bare.back(), ')');
  const std::string packet = bare + "&&(host 10.1.2.3 )";
  EXPECT_EQ(decode_all_filter_expression(80, {"host", "10.1.2.3"}, DLT_LINUX_SLL), packet);
  // The words apply to the packet inside the tags, after libpcap's "vlan" has moved
  // the offsets on.
  EXPECT_EQ(decode_all_filter_expression(80, {"host", "10.1.2.3"}, DLT_EN10MB),
            "(" + packet + ")||(vlan&&((" + packet + ")||(vlan&&(" + packet + "))))");
  // Any other link: the same text. The port goes everywhere it is compared.
  EXPECT_EQ(decode_all_filter_expression(80, {}, DLT_NULL), bare);
  const std::string other = decode_all_filter_expression(443, {}, DLT_NULL);
  EXPECT_EQ(other.find("80"), std::string::npos) << other;
  size_t compared = 0;
  for (size_t at = other.find("== 443"); at != std::string::npos; at = other.find("== 443", at + 1))
    ++compared;
  // Source and destination port at each of the three places TCP can start: after the
  // fixed header, after one header and after two.
  EXPECT_EQ(compared, 6u) << other;
}

// The hint about --decode-all: only on a terminal, only for a link type it reads.
TEST(LinkHint, OnlyOnATerminalForALinkTypeTheOptionReads) {
  Settings s;
  s.program_name = "portsift";
  const struct {
    bool terminal;
    int dlt;
    bool decode_all;
    const char* hint;
  } cases[] = {
      {true, DLT_LINUX_SLL, false,
       "portsift: --decode-all reads link type 113 (Linux cooked v1)\n"},
      {true, DLT_RAW, false, "portsift: --decode-all reads link type 12 (Raw IP)\n"},
      {false, DLT_LINUX_SLL, false, ""},
      {true, DLT_PPP, false, ""},
      {true, DLT_PPP, true, ""},
  };
  for (const auto& c : cases) {
    testlib::CapturedStream err;
    s.decode_all = c.decode_all;
    print_link_hint(err.file(), c.terminal, s, c.dlt);
    EXPECT_EQ(err.take(), c.hint) << c.dlt << " " << c.terminal;
  }
}

}  // namespace
