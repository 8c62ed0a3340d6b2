// The command line end to end: validation order, messages, exit statuses, the
// capture-filter text and write mode, on the real binary.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "e2e/usage_text.h"
#include "testlib/capture_builder.h"
#include "testlib/runner.h"

using namespace testlib;

namespace {

// A small capture shared by the cases: one complete connection to port 80.
const std::string& small_capture() {
  static std::string path;
  if (path.empty()) {
    path = scratch_dir() + "/small.pcap";
    write_pcap(path, {
                         at(100, 0, syn(1000)),
                         at(100, 3500, synack(9000, 1001)),
                         at(100, 250700, client_fin(1501, 12001)),
                         at(100, 290700, server_fin(12001, 1502)),
                     });
  }
  return path;
}

const std::string FIXED_FILTER =
    "(tcp port 80)&&((tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0)";

struct CliCase {
  const char* name;
  std::vector<std::string> args;  // "@CAP" stands for the small capture
  std::string out;
  std::string err;
  int status;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }

class CommandLine : public ::testing::TestWithParam<CliCase> {};

TEST_P(CommandLine, PrintsAndExitsAsExpected) {
  const CliCase& c = GetParam();
  std::vector<std::string> args;
  for (const std::string& a : c.args) args.push_back(a == "@CAP" ? small_capture() : a);
  RunResult r = run_portsift(args);
  EXPECT_EQ(normalize_prefix(r.out), c.out);
  EXPECT_EQ(normalize_prefix(r.err), c.err);
  EXPECT_EQ(r.status, c.status);
}

const CliCase CLI_CASES[] = {
    {"NoArguments", {}, "", "Port must be specified\n" + USAGE, 1},
    {"PortZero", {"-p", "0"}, "", "Port must be specified\n" + USAGE, 1},
    {"SortTwiceSame", {"-P", "-P"}, "", "Only one of -S,-P or -C please\n" + USAGE, 1},
    {"SortTwiceOther", {"-p", "80", "-P", "-S"}, "", "Only one of -S,-P or -C please\n" + USAGE, 1},
    {"ClientPairEqual",
     {"-p", "80", "-x", "100", "-y", "100"},
     "",
     "Client requests < 100 and > 100?\n" + USAGE,
     1},
    {"ServerPairInverted",
     {"-p", "80", "-X", "100", "-Y", "200"},
     "",
     "Server responses < 100 and > 200?\n" + USAGE,
     1},
    // The pair checks come before the port check, the port check before the values.
    {"PairBeforePort", {"-x", "5", "-y", "10"}, "", "Client requests < 5 and > 10?\n" + USAGE, 1},
    {"PortBeforeValues", {"-t", "0"}, "", "Port must be specified\n" + USAGE, 1},
    {"RunTimeZero", {"-p", "80", "-t", "0"}, "", "Illegal value for options\n", 1},
    {"NegativeBuckets", {"-p", "80", "-n", "-3"}, "", "Illegal value for options\n", 1},
    {"NegativeBucketSize", {"-p", "80", "-s", "-1"}, "", "Illegal value for options\n", 1},
    {"StatusWithoutV999", {"-p", "80", "-m", "500"}, "portsift: illegal option -- m\n", USAGE, 1},
    {"StatusWithV1",
     {"-p", "80", "-V", "1", "-m", "500"},
     "portsift: illegal option -- m\n",
     USAGE,
     1},
    {"HourOutOfRange", {"-p", "80", "-I", "25:00:00"}, "", "Illegal time string\n" + USAGE, 1},
    {"TimeTrailingText",
     {"-p", "80", "-I", "12:00:00x"},
     "",
     "Illegal time string: x\n" + USAGE,
     1},
    {"DateTrailingText",
     {"-p", "80", "-I", "2021-03-04.12:00:00 x"},
     "",
     "Illegal time string:  x\n" + USAGE,
     1},
    // The time is checked before -m and the port.
    {"TimeBeforeOthers", {"-I", "nonsense", "-m", "5"}, "", "Illegal time string\n" + USAGE, 1},
    {"UnknownOption", {"-p", "80", "-z"}, "", "portsift: invalid option -- 'z'\n" + USAGE, 1},
    {"MissingArgument", {"-p"}, "", "portsift: option requires an argument -- 'p'\n" + USAGE, 1},
    {"UnknownLongOption",
     {"-p", "80", "--bogus"},
     "",
     "portsift: unrecognized option '--bogus'\n" + USAGE,
     1},
    {"Version", {"--version"}, "portsift " PORTSIFT_VERSION "\n", "", 0},
    // After the first filter word a long option is a filter word too.
    {"LongOptionAfterFilterWord",
     {"-d", "-p", "80", "-r", "@CAP", "-w", "/dev/null", "tcp", "--version"},
     "FILE:LINE:Setting filter to " + FIXED_FILTER + "&&(tcp --version )\n",
     "FILE:LINE:pcap_compile:-1\n\nFILE:LINE:can't parse filter expression: syntax error\n",
     1},
    {"SecondReadFile", {"-p", "80", "-r", "a", "-r", "b"}, "", USAGE, 1},
    {"SecondWriteFile", {"-p", "80", "-w", "a", "-w", "b"}, "", USAGE, 1},
    {"SecondInterface", {"-p", "80", "-i", "lo", "-i", "lo"}, "", USAGE, 1},
    {"MissingFile",
     {"-p", "80", "-r", "/nonexistent/x.pcap"},
     "",
     "FILE:LINE:/nonexistent/x.pcap: No such file or directory\n",
     1},
    // Write mode into /dev/null keeps these cases to the start-up output alone.
    // An empty -r leaves the first one unset, so a second -r is accepted.
    {"EmptyThenRealReadFile",
     {"-p", "80", "-d", "-r", "", "-r", "@CAP", "-w", "/dev/null"},
     "FILE:LINE:Setting filter to " + FIXED_FILTER + "\n",
     "-d ignored\n",
     0},
    {"PortKeepsLow16Bits",
     {"-d", "-p", "65616", "-r", "@CAP", "-w", "/dev/null"},
     "FILE:LINE:Setting filter to " + FIXED_FILTER + "\n",
     "-d ignored\n",
     0},
    {"FilterWords",
     {"-d", "-p", "80", "-r", "@CAP", "-w", "/dev/null", "tcp", "and", "not", "host", "10.0.0.9"},
     "FILE:LINE:Setting filter to " + FIXED_FILTER + "&&(tcp and not host 10.0.0.9 )\n",
     "-d ignored\n",
     0},
    // Parsing stops at the first word that is not an option: the last -d is a filter
    // word, which libpcap then refuses, saying why.
    {"OptionAfterFilterWord",
     {"-d", "-p", "80", "-r", "@CAP", "host", "10.0.0.1", "-d"},
     "FILE:LINE:Setting filter to " + FIXED_FILTER + "&&(host 10.0.0.1 -d )\n",
     "FILE:LINE:pcap_compile:-1\n\nFILE:LINE:can't parse filter expression: syntax error\n",
     1},
    // The record options: one message each, after every classic check.
    {"RecordsWithWriteMode",
     {"-p", "80", "-r", "@CAP", "-w", "/dev/null", "--conns", "c.csv"},
     "",
     "portsift: -w copies packets and makes no report; --conns, --intervals, --interval and "
     "--json need a report run\n",
     1},
    {"JsonWithWriteMode",
     {"--json", "-p", "80", "-w", "/dev/null"},
     "",
     "portsift: -w copies packets and makes no report; --conns, --intervals, --interval and "
     "--json need a report run\n",
     1},
    {"ClassicCheckFirst", {"--json", "--conns", "-", "-p", "0"}, "", "Port must be specified\n" + USAGE, 1},
    {"UnknownFormatWord",
     {"-p", "80", "--conns", "c.csv", "--conns-format", "xml"},
     "",
     "portsift: --conns-format takes csv or json, not 'xml'\n",
     1},
    {"NameWithoutFormat",
     {"-p", "80", "--intervals", "rows.txt", "--interval", "1"},
     "",
     "portsift: cannot tell the format of rows.txt from its name: end it in .csv, .json, "
     ".jsonl or .ndjson, or give --intervals-format csv|json\n",
     1},
    {"EmptyName",
     {"-p", "80", "--conns", ""},
     "",
     "portsift: --conns needs a file name, or - for standard output\n",
     1},
    {"IntervalWithoutFile",
     {"-p", "80", "--interval", "5"},
     "",
     "portsift: --interval needs --intervals FILE\n",
     1},
    {"FileWithoutInterval",
     {"-p", "80", "--intervals", "i.csv"},
     "",
     "portsift: --intervals needs --interval SECS\n",
     1},
    {"IntervalNotANumber",
     {"-p", "80", "--intervals", "i.csv", "--interval", "5s"},
     "",
     "portsift: --interval takes a number of seconds from 0.001 to 1000000000, not '5s'\n",
     1},
    {"IntervalTooShort",
     {"-p", "80", "--intervals", "i.csv", "--interval", "0.0001"},
     "",
     "portsift: --interval takes a number of seconds from 0.001 to 1000000000, not '0.0001'\n",
     1},
    {"TwoOnStandardOutput",
     {"-p", "80", "--json", "--conns", "-"},
     "",
     "portsift: only one of --json, --conns - and --intervals - can use standard output\n",
     1},
    {"SameFileTwice",
     {"-p", "80", "--conns", "x.csv", "--intervals", "x.csv", "--interval", "1"},
     "",
     "portsift: --conns and --intervals name the same file\n",
     1},
    {"JsonWithBriefReport",
     {"-p", "80", "--json", "-V", "1"},
     "",
     "portsift: --json replaces the text report and cannot be combined with -V 1\n",
     1},
    {"MetricsWithAFile",
     {"-p", "80", "--metrics", "9920", "-r", "@CAP"},
     "",
     "portsift: --metrics serves a live capture run; for a capture file or write mode use "
     "--metrics-file\n",
     1},
    {"MetricsInWriteMode",
     {"-p", "80", "--metrics", "9920", "-w", "/dev/null"},
     "",
     "portsift: --metrics serves a live capture run; for a capture file or write mode use "
     "--metrics-file\n",
     1},
    {"MetricsFileInWriteMode",
     {"-p", "80", "--metrics-file", "m.prom", "-w", "/dev/null"},
     "",
     "portsift: -w copies packets and makes no report; --metrics-file needs a report run\n",
     1},
    {"WebConfigAlone",
     {"-p", "80", "--web-config", "web.yml", "-r", "@CAP"},
     "",
     "portsift: --web-config needs --metrics\n",
     1},
    {"MetricsPortMissing",
     {"-p", "80", "--metrics", "127.0.0.1:"},
     "",
     "portsift: --metrics takes [ADDR:]PORT (9920, 127.0.0.1:9920, [::1]:9920), not "
     "'127.0.0.1:'\n",
     1},
    {"MetricsPortZero",
     {"-p", "80", "--metrics", "0"},
     "",
     "portsift: --metrics takes [ADDR:]PORT (9920, 127.0.0.1:9920, [::1]:9920), not '0'\n",
     1},
    {"MetricsHostName",
     {"-p", "80", "--metrics", "localhost:9920"},
     "",
     "portsift: --metrics takes [ADDR:]PORT (9920, 127.0.0.1:9920, [::1]:9920), not "
     "'localhost:9920'\n",
     1},
    {"MetricsIpv6WithoutBrackets",
     {"-p", "80", "--metrics", "::1:9920"},
     "",
     "portsift: --metrics takes [ADDR:]PORT (9920, 127.0.0.1:9920, [::1]:9920), not "
     "'::1:9920'\n",
     1},
    {"SynTimeoutNegative",
     {"-p", "80", "--syn-timeout", "-1", "-r", "@CAP"},
     "",
     "portsift: --syn-timeout takes a number of seconds from 0 (never) to 31536000, not '-1'\n",
     1},
    {"MaxAgeWithUnit",
     {"-p", "80", "--max-age", "1h", "-r", "@CAP"},
     "",
     "portsift: --max-age takes a number of seconds from 0 (never) to 31536000, not '1h'\n",
     1},
    {"UserEmpty", {"-p", "80", "-Z", "", "-r", "@CAP"}, "", "portsift: -Z needs a value\n", 1},
    {"UnknownUser",
     {"-p", "80", "-Z", "no-such-user-here", "-r", "@CAP"},
     "",
     "portsift: -Z no-such-user-here: no such user\n",
     1},
    // --read-list names the capture as -r does: once, and not beside -r.
    {"ReadListAndRead",
     {"-p", "80", "-r", "@CAP", "--read-list", "files.txt"},
     "",
     "portsift: -r and --read-list both name the capture\n",
     1},
    {"ReadListTwice",
     {"-p", "80", "--read-list", "a.txt", "--read-list", "b.txt"},
     "",
     "portsift: --read-list takes one file of names, given once\n",
     1},
    {"ReadListMissing",
     {"-p", "80", "--read-list", "/nonexistent/files.txt"},
     "",
     "portsift: /nonexistent/files.txt: No such file or directory\n",
     1},
    {"AmbiguousLongOption",
     {"-p", "80", "--conn", "x.csv"},
     "",
     "portsift: option '--conn' is ambiguous; possibilities: '--conns' '--conns-format'\n" + USAGE,
     1},
};

INSTANTIATE_TEST_SUITE_P(Cases, CommandLine, ::testing::ValuesIn(CLI_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// --help: the usage text, then every long option with what it does, on standard
// output; nothing else runs.
TEST(CommandLineHelp, UsageAndLongOptionsOnStandardOutput) {
  RunResult r = run_portsift({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(r.out.compare(0, USAGE.size(), USAGE), 0) << r.out;
  const std::string rest = r.out.substr(USAGE.size());
  EXPECT_EQ(rest.compare(0, 14, "Long options:\n"), 0) << rest;
  for (const char* option :
       {"--help", "--version", "--decode-all", "--conns", "--conns-format", "--json", "--interval",
        "--intervals", "--intervals-format", "--read-list", "--metrics", "--web-config",
        "--metrics-file", "--user", "--syn-timeout", "--closing-timeout", "--max-age"})
    EXPECT_NE(rest.find(std::string("\n  ") + option + " "), std::string::npos) << option;
}

TEST(WriteMode, CopiesOnlyTheMonitoredPortsHandshakeAndCloseSegments) {
  std::string in = scratch_dir() + "/mixed.pcap", out = scratch_dir() + "/copy.pcap";
  Seg data = client_fin(1001, 9001, 100);
  data.flags = ACK | PSH;  // a data segment: never copied
  Seg other_port = syn(7);
  other_port.dport = 81;
  Seg rst_other = server_rst(5);
  rst_other.sport = 8080;
  std::vector<Packet> packets = {
      at(10, 0, syn(1000)),
      at(10, 10, synack(9000, 1001)),
      at(10, 20, data),
      at(10, 30, other_port),
      at(10, 40, udp_frame(Link::ETHERNET, "10.0.0.1", "10.0.0.2", 5555, 80)),
      at(10, 50, arp_frame()),
      at(10, 60, client_fin(1101, 9001)),
      at(10, 70, rst_other),
      at(10, 80, server_rst(9001)),
  };
  write_pcap(in, packets);
  RunResult r = run_portsift({"-p", "80", "-r", in, "-w", out});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  std::vector<Packet> copied = read_pcap(out);
  const std::vector<size_t> expected = {0, 1, 6, 8};
  ASSERT_EQ(copied.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(copied[i].data, packets[expected[i]].data) << i;
    EXPECT_EQ(copied[i].usec, packets[expected[i]].usec) << i;
  }
}

TEST(WriteMode, ListsIgnoredSettingsInOrder) {
  std::string out = scratch_dir() + "/ignored.pcap";
  RunResult r = run_portsift({"-p",
                              "80",
                              "-d",
                              "-R",
                              "-T",
                              "-n",
                              "5",
                              "-s",
                              "3",
                              "-y",
                              "1",
                              "-Y",
                              "2",
                              "-x",
                              "10",
                              "-X",
                              "20",
                              "-D",
                              "4",
                              "-V",
                              "1",
                              "-r",
                              small_capture(),
                              "-w",
                              out});
  EXPECT_EQ(normalize_prefix(r.out), "FILE:LINE:Setting filter to " + FIXED_FILTER + "\n");
  EXPECT_EQ(r.err,
            "-d ignored\n-n ignored\n-s ignored\n-X ignored\n-x ignored\n-Y ignored\n"
            "-y ignored\n-D ignored\n-T ignored\n-R ignored\n-V ignored\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_pcap(out).size(), 4u);
}

TEST(WriteMode, ByteOrderingWithoutBucketSizeDoesNotCrash) {
  // Write mode does not default the bucket size; the byte layout must not divide by it.
  std::string out = scratch_dir() + "/nosize.pcap";
  RunResult r = run_portsift(
      {"-p", "80", "-C", "-y", "2048", "-x", "4096", "-r", small_capture(), "-w", out});
  EXPECT_EQ(r.err, "-x ignored\n-y ignored\n");
  EXPECT_EQ(r.status, 0);
}

TEST(WriteMode, RefusesToOverwriteTheFileItReads) {
  std::string in = scratch_dir() + "/keep.pcap";
  std::filesystem::copy_file(small_capture(), in);
  auto size = std::filesystem::file_size(in);
  std::string via_other_path = scratch_dir() + "/./keep.pcap";
  std::string link = scratch_dir() + "/link.pcap";
  std::filesystem::create_symlink(in, link);
  for (const std::string& target : {in, via_other_path, link}) {
    RunResult r = run_portsift({"-p", "80", "-r", in, "-w", target});
    EXPECT_EQ(r.err, "portsift: will not write the savefile " + target +
                         " over the capture file it reads\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::filesystem::file_size(in), size);
    EXPECT_EQ(read_pcap(in).size(), 4u);
  }
}

TEST(WriteMode, CopyOfADamagedFileSaysWhereItStopped) {
  // A capture cut off inside its last packet: the packets before it are copied,
  // and the user is told the copy stops there.
  std::string cut = scratch_dir() + "/cut-in.pcap", out = scratch_dir() + "/cut-out.pcap";
  std::filesystem::copy_file(small_capture(), cut);
  std::filesystem::resize_file(cut, std::filesystem::file_size(small_capture()) - 20);
  RunResult r = run_portsift({"-p", "80", "-r", cut, "-w", out});
  EXPECT_EQ(r.err, "Warning: " + cut +
                       " ended with a read error: truncated dump file; tried to read 54 captured "
                       "bytes, only got 34; the savefile holds the packets read before it\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_pcap(out).size(), 3u);
}

TEST(LinkType, UnsupportedLinkIsRefusedInBothModes) {
  std::string in = scratch_dir() + "/cooked.pcap";
  write_pcap_dlt(in, {at(1, 0, std::vector<uint8_t>(40, 0))}, 113);
  for (bool write : {false, true}) {
    std::vector<std::string> args = {"-p", "80", "-r", in};
    if (write) args.insert(args.end(), {"-w", scratch_dir() + "/cooked-out.pcap"});
    RunResult r = run_portsift(args);
    EXPECT_EQ(r.out, "Unknown datalink type: 113\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
  }
}

TEST(LinkType, LoopbackAndEthernetAreAccepted) {
  std::string in = scratch_dir() + "/null.pcap";
  write_pcap(in, {at(1, 0, syn(1), Link::LOOPBACK)}, Link::LOOPBACK);
  RunResult r = run_portsift({"-p", "80", "-r", in, "-w", scratch_dir() + "/null-out.pcap"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_pcap(scratch_dir() + "/null-out.pcap").size(), 1u);
}

}  // namespace
