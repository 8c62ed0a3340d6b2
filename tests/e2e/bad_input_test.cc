// Bad input end to end: files that are missing, damaged or not captures at all,
// filters and names that are too long or wrong, live captures that cannot start,
// and frames and timestamps at their extremes. Each one ends in a clear message and
// exit status 1, or in a correct report; nothing crashes or hangs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "testlib/files.h"
#include "testlib/capture_builder.h"
#include "testlib/runner.h"

using namespace testlib;

namespace {

constexpr int64_t T0 = 1000000000;  // 2001-09-09 01:46:40 UTC

Seg from_client(uint16_t port, uint8_t flags, uint32_t seq, uint32_t ack = 0) {
  Seg s = syn(seq);
  s.sport = port;
  s.flags = flags;
  s.ack = ack;
  return s;
}

Seg from_server(uint16_t port, uint8_t flags, uint32_t seq, uint32_t ack) {
  Seg s = synack(seq, ack);
  s.dport = port;
  s.flags = flags;
  return s;
}

// A connection in every state, all within the first two seconds after T0: one
// completed (501 and 3001 bytes, 250 ms), one reset, one never answered, one open.
std::vector<Packet> ordinary(Link link = Link::ETHERNET) {
  return {
      at(T0, 0, from_client(5555, SYN, 1000), link),
      at(T0, 3500, from_server(5555, SYN | ACK, 9000, 1001), link),
      at(T0, 10000, from_client(5556, SYN, 2000), link),
      at(T0, 12000, from_server(5556, SYN | ACK, 7000, 2001), link),
      at(T0, 20000, from_client(5557, SYN, 3000), link),
      at(T0, 30000, from_client(5558, SYN, 4000), link),
      at(T0, 31000, from_server(5558, SYN | ACK, 6000, 4001), link),
      at(T0, 40000, from_client(5556, RST, 2001), link),
      at(T0, 250700, from_client(5555, FIN | ACK, 1501, 12001), link),
      at(T0, 290700, from_server(5555, FIN | ACK, 12001, 1502), link),
      at(T0 + 1, 500000, from_client(5559, SYN, 5000), link),
  };
}

// The ordinary capture with extra packets placed before its last one, so the run's
// start and end stay where they were.
std::vector<Packet> ordinary_with(const std::vector<Packet>& extra) {
  std::vector<Packet> p = ordinary();
  p.insert(p.end() - 1, extra.begin(), extra.end());
  return p;
}

// What the user sees on standard output.
struct Stdout {
  enum Kind { TEXT, REPORT_OF, GOLDEN } kind = TEXT;
  std::string text;  // TEXT: exact; "@DIR" stands for the case's directory
  // REPORT_OF: the arguments of a reference run whose standard output must match.
  std::function<std::vector<std::string>(const std::string& dir)> reference;
};

Stdout text(std::string t) { return {Stdout::TEXT, std::move(t), nullptr}; }
Stdout report_of(std::function<std::vector<std::string>(const std::string&)> ref) {
  return {Stdout::REPORT_OF, "", std::move(ref)};
}
// tests/e2e/golden/bad_input_<name>.out, rewritten with PORTSIFT_UPDATE_GOLDEN=1.
Stdout golden() { return {Stdout::GOLDEN, "", nullptr}; }

struct BadInput {
  const char* name;
  // Writes the case's inputs into its own directory and returns the arguments.
  std::function<std::vector<std::string>(const std::string& dir)> args;
  std::string err;  // exact, trace prefixes normalised; "@DIR" as above
  int status;
  Stdout out;
  bool needs_root = false;  // libpcap answers differently without privileges
};

void PrintTo(const BadInput& c, std::ostream* os) { *os << c.name; }

std::string replace_dir(std::string s, const std::string& dir) {
  for (size_t pos; (pos = s.find("@DIR")) != std::string::npos;) s.replace(pos, 4, dir);
  return s;
}

using testlib::read_file;

// A capture file in the case directory; returns its path.
std::string capture(const std::string& dir, const std::string& name,
                    const std::vector<Packet>& packets) {
  std::string path = dir + "/" + name;
  write_bytes(path, pcap_bytes(packets));
  return path;
}

std::string cut(const std::string& dir, const std::vector<Packet>& packets, size_t keep) {
  std::vector<uint8_t> bytes = pcap_bytes(packets);
  bytes.resize(keep);
  std::string path = dir + "/in.pcap";
  write_bytes(path, bytes);
  return path;
}

// Frames whose header length fields take every value from 0 to 60 bytes, each a SYN
// from its own client port. The option bytes are really there, so every frame with
// both fields at 20 or more is a valid SYN.
std::vector<Packet> length_extremes(bool only_valid_as_plain_syns) {
  std::vector<Packet> p;
  uint16_t port = 6000;
  for (int ip_hl = 0; ip_hl <= 60; ip_hl += 4) {
    for (int tcp_off = 0; tcp_off <= 60; tcp_off += 4, ++port) {
      const bool valid = ip_hl >= 20 && tcp_off >= 20;
      Seg s = from_client(port, SYN, port);
      if (only_valid_as_plain_syns) {
        if (valid) p.push_back(at(T0, 50000 + port, s));
        continue;
      }
      s.ip_hl_bytes = ip_hl;
      s.tcp_off_bytes = tcp_off;
      s.ip_opts = static_cast<size_t>(std::max(ip_hl - 20, 0));
      s.tcp_opts = static_cast<size_t>(std::max(tcp_off - 20, 0));
      p.push_back(at(T0, 50000 + port, s));
    }
  }
  if (only_valid_as_plain_syns) {
    // A TCP header longer than the captured bytes is still a SYN: its options are
    // never read.
    p.push_back(at(T0, 60001, from_client(7002, SYN, 1)));
    // A SYN whose total length is smaller than its headers is still a SYN: only a
    // FIN's payload is measured from the total length.
    p.push_back(at(T0, 70000, from_client(7000, SYN, 1)));
    return p;
  }
  // Header lengths that point past the captured bytes: the IPv4 one moves the TCP
  // header out of them, the TCP one only claims options that are not there.
  Seg long_ip = from_client(7001, SYN, 1);
  long_ip.ip_hl_bytes = 60;
  Seg long_tcp = from_client(7002, SYN, 1);
  long_tcp.tcp_off_bytes = 60;
  p.push_back(at(T0, 60000, long_ip));
  p.push_back(at(T0, 60001, long_tcp));
  // Total lengths smaller than the headers.
  Seg short_syn = from_client(7000, SYN, 1);
  short_syn.ip_total_len = 0;
  p.push_back(at(T0, 70000, short_syn));
  for (int total : {0, 20, 39}) {
    // The open connection's FIN would count it; a total length below the headers
    // leaves its payload unknown, so the FIN is dropped.
    Seg fin = from_client(5558, FIN | ACK, 4001, 6001);
    fin.ip_total_len = total;
    p.push_back(at(T0, 80000 + total, fin));
  }
  return p;
}

// One connection whose FIN carried 100 bytes of data, captured whole or with only
// the first 54 bytes of every frame kept (the wire length stays).
std::vector<Packet> snapped(bool cut_to_headers) {
  std::vector<Packet> p = {
      at(T0, 0, from_client(5555, SYN, 1000)),
      at(T0, 3500, from_server(5555, SYN | ACK, 9000, 1001)),
      at(T0, 250700, client_fin(1001, 12001, 100)),
      at(T0, 290700, server_fin(12001, 1102)),
  };
  if (cut_to_headers)
    for (Packet& pk : p) {
      pk.wire_len = static_cast<uint32_t>(pk.data.size());
      pk.data.resize(54);
    }
  return p;
}

// Timestamps that run backwards. The client's FIN is stamped 700 ms before its SYN,
// inside the window: the duration counts as 0, as if both had the same time. A SYN
// stamped in 1990 and another in 1901 are older than the window and dropped.
std::vector<Packet> backwards(bool as_reference) {
  std::vector<Packet> p = {
      at(T0, 900000, from_client(5555, SYN, 1000)),
      at(T0, 950000, from_server(5555, SYN | ACK, 9000, 1001)),
      at(T0, as_reference ? 900000 : 200000, client_fin(1501, 12001)),
  };
  if (!as_reference) {
    p.push_back(at(631152000, 0, from_client(6000, SYN, 1)));      // 1990
    p.push_back(at(-2147483648LL, 0, from_client(6001, SYN, 1)));  // 1901
  }
  p.push_back(at(T0 + 2, 500000, server_fin(12001, 1502)));
  return p;
}

// A connection that closes three years after it opened: the duration wraps at 32
// bits, as does the length of the run.
std::vector<Packet> years() {
  const int64_t three_years = 3 * 365 * 86400;
  return {
      at(T0, 0, from_client(5555, SYN, 1000)),
      at(T0, 3500, from_server(5555, SYN | ACK, 9000, 1001)),
      at(T0 + three_years, 0, client_fin(1501, 12001)),
      at(T0 + three_years, 40000, server_fin(12001, 1502)),
  };
}

// A relative path of 5000 characters whose directories do not exist.
std::string long_name() {
  std::string name = "no-such-capture-dir";
  while (name.size() < 5000) name += "/directory";
  return name;
}

std::vector<std::string> read_args(const std::string& path) { return {"-p", "80", "-r", path}; }

const std::string COMPILE_FAILED = "FILE:LINE:pcap_compile:-1\n\nFILE:LINE:";

const BadInput CASES[] = {
    {"missing_file", [](const std::string& dir) { return read_args(dir + "/missing.pcap"); },
     "FILE:LINE:@DIR/missing.pcap: No such file or directory\n", 1, text("")},
    // A directory is a capture set: its capture files, of which this one has none.
    {"directory", [](const std::string& dir) { return read_args(dir); },
     "portsift: @DIR holds no capture file\n", 1, text("")},
    {"empty_file",
     [](const std::string& dir) {
       write_bytes(dir + "/in.pcap", {});
       return read_args(dir + "/in.pcap");
     },
     "FILE:LINE:truncated dump file; tried to read 4 file header bytes, only got 0\n", 1, text("")},
    {"not_a_capture",
     [](const std::string& dir) {
       std::ofstream(dir + "/notes.txt") << "GET / HTTP/1.1\r\nHost: example\r\n\r\n";
       return read_args(dir + "/notes.txt");
     },
     "FILE:LINE:unknown file format\n", 1, text("")},
    {"cut_in_file_header",
     [](const std::string& dir) { return read_args(cut(dir, ordinary(), 10)); },
     "FILE:LINE:truncated dump file; tried to read 24 file header bytes, only got 6\n", 1,
     text("")},
    // The file header is whole: the run reports what it read (nothing) and says why
    // it stopped.
    {"cut_in_packet_header",
     [](const std::string& dir) { return read_args(cut(dir, ordinary(), 24 + 6)); },
     "Warning: @DIR/in.pcap ended with a read error: truncated dump file; tried to read 16 "
     "header bytes, only got 6; the report covers the packets read before it\n",
     0, report_of([](const std::string& dir) { return read_args(capture(dir, "ref.pcap", {})); })},
    {"cut_in_packet_data",
     [](const std::string& dir) {
       return read_args(cut(dir, ordinary(), pcap_bytes(ordinary()).size() - 20));
     },
     "Warning: @DIR/in.pcap ended with a read error: truncated dump file; tried to read 54 "
     "captured bytes, only got 34; the report covers the packets read before it\n",
     0, report_of([](const std::string& dir) {
       std::vector<Packet> p = ordinary();
       p.pop_back();
       return read_args(capture(dir, "ref.pcap", p));
     })},
    {"pcapng",
     [](const std::string& dir) {
       write_bytes(dir + "/in.pcapng", pcapng_bytes(ordinary()));
       return read_args(dir + "/in.pcapng");
     },
     "", 0, report_of([](const std::string& dir) {
       return read_args(capture(dir, "ref.pcap", ordinary()));
     })},
    {"pcapng_loopback",
     [](const std::string& dir) {
       std::vector<Packet> p = {at(T0, 0, syn(1000), Link::LOOPBACK),
                                at(T0, 3500, synack(9000, 1001), Link::LOOPBACK)};
       write_bytes(dir + "/in.pcapng", pcapng_bytes(p, Link::LOOPBACK));
       return read_args(dir + "/in.pcapng");
     },
     "", 0, report_of([](const std::string& dir) {
       return read_args(
           capture(dir, "ref.pcap", {at(T0, 0, syn(1000)), at(T0, 3500, synack(9000, 1001))}));
     })},
    // A loopback capture made on a host of the other byte order: libpcap swaps the
    // file's fields, and the address family must be read in the capturing host's
    // order, or every packet is lost.
    {"loopback_from_other_byte_order",
     [](const std::string& dir) {
       write_bytes(dir + "/in.pcap",
                   pcap_bytes_other_order(ordinary(Link::LOOPBACK), Link::LOOPBACK));
       return read_args(dir + "/in.pcap");
     },
     "", 0, report_of([](const std::string& dir) {
       write_bytes(dir + "/ref.pcap", pcap_bytes(ordinary(Link::LOOPBACK), Link::LOOPBACK));
       return read_args(dir + "/ref.pcap");
     })},
    // Raw IPv4 without a link header: a real link type, but not one the decoder reads.
    {"unsupported_link_type",
     [](const std::string& dir) {
       write_pcap_dlt(dir + "/in.pcap", {at(T0, 0, std::vector<uint8_t>(40, 0x45))}, 228);
       return read_args(dir + "/in.pcap");
     },
     "", 1, text("Unknown datalink type: 228\n")},
    {"filter_does_not_compile",
     [](const std::string& dir) {
       std::vector<std::string> a = read_args(capture(dir, "in.pcap", ordinary()));
       a.insert(a.end(), {"port", "eighty"});
       return a;
     },
     COMPILE_FAILED + "unknown port 'eighty'\n", 1, text("")},
    {"filter_bad_address",
     [](const std::string& dir) {
       std::vector<std::string> a = read_args(capture(dir, "in.pcap", ordinary()));
       a.insert(a.end(), {"host", "10.0.0.256"});
       return a;
     },
     COMPILE_FAILED + "invalid IPv4 address '10.0.0.256'\n", 1, text("")},
    // 100 000 characters of nesting: more than libpcap's parser takes.
    {"filter_nested_too_deep",
     [](const std::string& dir) {
       std::vector<std::string> a = read_args(capture(dir, "in.pcap", ordinary()));
       a.push_back(std::string(50000, '(') + "tcp" + std::string(49997, ')'));
       return a;
     },
     COMPILE_FAILED + "can't parse filter expression: memory exhausted\n", 1, text("")},
    // 100 000 characters of filter words work: 300 terms that exclude hosts absent
    // from the capture, nested a thousand deep, padded with blank words to the full
    // length. (libpcap's compiler takes time that grows with the square of the
    // number of terms, so the length is not made of terms alone.)
    {"filter_words_100k",
     [](const std::string& dir) {
       std::vector<std::string> a = read_args(capture(dir, "in.pcap", ordinary()));
       for (int i = 0; i < 1000; ++i) a.push_back("(");
       for (int i = 0; i < 300; ++i)
         a.insert(a.end(),
                  {"not", "host", "10.9." + std::to_string(i / 250) + "." + std::to_string(i % 250),
                   "and"});
       a.push_back("tcp");
       for (int i = 0; i < 1000; ++i) a.push_back(")");
       size_t chars = 0;  // each word is followed by a blank in the expression
       for (size_t i = 4; i < a.size(); ++i) chars += a[i].size() + 1;
       for (; chars < 100000; chars += a.back().size() + 1)
         a.push_back(std::string(std::min<size_t>(99, 100000 - chars - 1), ' '));
       return a;
     },
     "", 0, report_of([](const std::string& dir) { return read_args(dir + "/in.pcap"); })},
    // -r keeps the first 1023 characters; the whole kept name and the reason show.
    {"read_file_name_5000_chars", [](const std::string&) { return read_args(long_name()); },
     "FILE:LINE:" + long_name().substr(0, 1023) + ": No such file or directory\n", 1, text("")},
    {"no_such_interface",
     [](const std::string&) {
       return std::vector<std::string>{"-p", "80", "-i", "nosuchif0"};
     },
     "FILE:LINE:nosuchif0: No such device exists (No such device exists)\n", 1, text(""), true},
    {"header_lengths_at_extremes",
     [](const std::string& dir) {
       return read_args(capture(dir, "in.pcap", ordinary_with(length_extremes(false))));
     },
     "", 0, report_of([](const std::string& dir) {
       return read_args(capture(dir, "ref.pcap", ordinary_with(length_extremes(true))));
     })},
    {"captured_shorter_than_wire",
     [](const std::string& dir) { return read_args(capture(dir, "in.pcap", snapped(true))); }, "",
     0, report_of([](const std::string& dir) {
       return read_args(capture(dir, "ref.pcap", snapped(false)));
     })},
    {"timestamps_backwards",
     [](const std::string& dir) { return read_args(capture(dir, "in.pcap", backwards(false))); },
     "", 0, report_of([](const std::string& dir) {
       return read_args(capture(dir, "ref.pcap", backwards(true)));
     })},
    {"timestamps_years_apart",
     [](const std::string& dir) { return read_args(capture(dir, "in.pcap", years())); }, "", 0,
     golden()},
};

class BadInputs : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadInputs, ClearErrorOrCorrectReport) {
  const BadInput& c = GetParam();
  if (c.needs_root && geteuid() != 0) GTEST_SKIP() << "libpcap answers differently without root";
  const std::string dir = scratch_dir() + "/" + c.name;
  std::filesystem::create_directory(dir);
  RunResult r = run_portsift(c.args(dir));
  EXPECT_EQ(normalize_prefix(r.err), replace_dir(c.err, dir));
  EXPECT_EQ(r.status, c.status);
  std::string expected;
  switch (c.out.kind) {
    case Stdout::TEXT:
      expected = replace_dir(c.out.text, dir);
      break;
    case Stdout::REPORT_OF: {
      RunResult ref = run_portsift(c.out.reference(dir));
      ASSERT_EQ(ref.status, 0) << ref.err;
      expected = ref.out;
      break;
    }
    case Stdout::GOLDEN: {
      const std::string path = std::string(GOLDEN_DIR) + "/bad_input_" + c.name + ".out";
      if (std::getenv("PORTSIFT_UPDATE_GOLDEN")) std::ofstream(path, std::ios::binary) << r.out;
      expected = read_file(path);
      break;
    }
  }
  EXPECT_EQ(normalize_prefix(r.out), expected);
  // The file read by libpcap alone gives the same bytes, warnings and status. Runs
  // with filter words are read by libpcap either way.
  if (std::string(c.name).rfind("filter_", 0) == 0) return;
  std::vector<std::string> args = c.args(dir);
  args.insert(args.begin(), "--libpcap-read");
  RunResult by_libpcap = run_portsift(args);
  EXPECT_EQ(by_libpcap.out, r.out);
  EXPECT_EQ(by_libpcap.err, r.err);
  EXPECT_EQ(by_libpcap.status, r.status);
}

INSTANTIATE_TEST_SUITE_P(Table, BadInputs, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// Live capture needs privileges that an ordinary user does not have: the run must
// stop before it starts, with libpcap's reason and status 1, on the interface given
// and on the one chosen automatically.
TEST(LiveCapture, WithoutPrivilegesFailsClearly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the binary as another user";
  // The unprivileged user must reach the binary: a copy in a directory anyone can read.
  char tmpl[] = "/tmp/portsift-unprivileged-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, bin = dir + "/portsift";
  std::filesystem::copy_file(portsift_binary(), bin);
  std::filesystem::permissions(
      dir, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
               std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
               std::filesystem::perms::others_exec);
  RunOptions as_nobody;
  as_nobody.wrapper = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
  as_nobody.binary = "/bin/true";
  RunResult probe = run_portsift({}, as_nobody);
  if (probe.status != 0) {
    std::filesystem::remove_all(dir);
    GTEST_SKIP() << "cannot switch to the user nobody: " << probe.err;
  }
  as_nobody.binary = bin;
  RunResult given = run_portsift({"-p", "80", "-t", "1", "-i", "lo"}, as_nobody);
  RunResult chosen = run_portsift({"-p", "80", "-t", "1"}, as_nobody);
  std::filesystem::remove_all(dir);

  const std::string no_permission =
      ": You don't have permission to perform this capture on that device (socket: Operation "
      "not permitted)\n";
  EXPECT_EQ(normalize_prefix(given.err), "FILE:LINE:lo" + no_permission);
  EXPECT_EQ(given.out, "");
  EXPECT_EQ(given.status, 1);
  const std::string err = normalize_prefix(chosen.err);
  EXPECT_EQ(err.rfind("FILE:LINE:", 0), 0u) << err;
  EXPECT_NE(err.find(no_permission), std::string::npos) << err;
  EXPECT_EQ(chosen.out, "");
  EXPECT_EQ(chosen.status, 1);
}

}  // namespace
