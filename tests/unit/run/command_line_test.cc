// The command line: derived settings (defaults, the -D range, the byte orderings'
// bucket layout), atoi numbers, POSIX order, the -I text read once.
#include "run/command_line.h"

#include <gtest/gtest.h>
#include <pcap/dlt.h>

#include <cstdint>

#include "common/settings.h"
#include "run/capture.h"
#include "run/process_state.h"
#include "stats/run_stats.h"
#include "testlib/captured_stream.h"

namespace {

void parse(std::vector<std::string> args) {
  reset_process_state();
  args.insert(args.begin(), "portsift");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  parse_command_line(static_cast<int>(args.size()), argv.data());
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
    parse(c.args);
    std::string what = ::testing::PrintToString(c.args);
    EXPECT_EQ(g_settings.nbuckets, c.nbuckets) << what;
    EXPECT_EQ(g_settings.bucket_size, c.bucket_size) << what;
    EXPECT_EQ(g_settings.bucket_base, c.bucket_base) << what;
    EXPECT_EQ(g_settings.filter_to, c.filter_to) << what;
  }
  reset_process_state();
}

TEST(CommandLine, NumbersFollowAtoiAndSignWidening) {
  parse({"-p", "65616", "-x", "-1", "-Y", "-2", "-c", "abc", "-t", "7x", "-d", "-d", "-T", "-T"});
  EXPECT_EQ(g_settings.port, 80);
  EXPECT_EQ(g_settings.max_client_bytes, UINT64_MAX);
  EXPECT_EQ(g_settings.min_server_bytes, UINT64_MAX - 1);
  EXPECT_EQ(g_settings.min_syns, 0u);
  EXPECT_EQ(g_settings.run_time, 7);
  EXPECT_EQ(g_settings.debug, 2);
  EXPECT_TRUE(g_settings.rtt_enabled);
  EXPECT_EQ(g_buckets.size, 21u);
  reset_process_state();
}

TEST(CommandLine, LastValueCountsAndWordsAfterFirstNonOption) {
  parse({"-p", "81", "-n", "5", "-n", "7", "-p", "80", "host", "10.0.0.1", "-d"});
  EXPECT_EQ(g_settings.port, 80);
  EXPECT_EQ(g_settings.nbuckets, 7);
  EXPECT_EQ(g_settings.debug, 0);
  EXPECT_EQ(g_settings.filter_words, (std::vector<std::string>{"host", "10.0.0.1", "-d"}));
  reset_process_state();
}

TEST(CommandLine, LongFileNamesAreCut) {
  parse({"-p", "80", "-r", std::string(5000, 'a')});
  EXPECT_EQ(g_settings.read_file, std::string(1023, 'a'));
  reset_process_state();
}

TEST(CommandLine, SinceTextIsReadOnceIntoCalendarFields) {
  parse({"-p", "80", "-I", "2021-03-05.00:00:10"});
  const struct tm& t = g_settings.since_fields;
  EXPECT_EQ(t.tm_year, 121);
  EXPECT_EQ(t.tm_mon, 2);
  EXPECT_EQ(t.tm_mday, 5);
  EXPECT_EQ(t.tm_sec, 10);
  parse({"-p", "80", "-I", "12:34:56"});
  EXPECT_EQ(g_settings.since_fields.tm_mday, 0);  // no date: the first packet's
  EXPECT_EQ(g_settings.since_fields.tm_hour, 12);
  EXPECT_EQ(g_settings.since_fields.tm_min, 34);
  reset_process_state();
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
  reset_process_state();
  g_settings.program_name = "portsift";
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
    g_settings.decode_all = c.decode_all;
    print_link_hint(err.file(), c.terminal, c.dlt);
    EXPECT_EQ(err.take(), c.hint) << c.dlt << " " << c.terminal;
  }
  reset_process_state();
}

}  // namespace
