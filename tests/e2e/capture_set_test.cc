// Capture sets and compressed captures end to end: a capture cut into files, given
// as a directory, a pattern, a list or a mix of compressions, must give the whole
// capture's report, records and JSON byte for byte; captures of two interfaces give
// the report of their merge; bad sets end in a message that names the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "testlib/capture_builder.h"
#include "testlib/compress.h"
#include "testlib/connections.h"
#include "testlib/files.h"
#include "testlib/runner.h"

using namespace testlib;

namespace {

// Connections of every kind, opening and closing over four minutes, so that a cut
// anywhere falls inside the lives of several of them.
std::vector<Conn> long_capture() {
  std::vector<Conn> conns = mixed_connections();
  std::mt19937 rng(25);
  for (int i = 0; i < 120; ++i) {
    Conn c;
    c.client = "10.0.1." + std::to_string(1 + i % 200);
    c.port = static_cast<uint16_t>(20000 + i);
    c.start = static_cast<int64_t>(rng() % 240'000'000);
    c.synack_at = (i % 9 == 0) ? -1 : 300 + static_cast<int64_t>(rng() % 5000);
    c.syns = 1 + (i % 7 == 0);
    if (c.synack_at >= 0 && i % 5 != 0) {
      c.fin_at = c.synack_at + 1000 + static_cast<int64_t>(rng() % 30'000'000);
      c.answer_at = c.fin_at + 200 + static_cast<int64_t>(rng() % 50'000);
      c.client_fin_first = i % 3 != 0;
      c.client_bytes = 1 + rng() % 5000;
      c.server_bytes = 1 + rng() % 90000;
    } else if (c.synack_at >= 0 && i % 10 == 5) {
      c.rst_at = c.synack_at + 7000;
    }
    conns.push_back(c);
  }
  return conns;
}

// The packets cut at these packet numbers into consecutive pieces.
std::vector<std::vector<Packet>> cut_at(const std::vector<Packet>& p, std::vector<size_t> cuts) {
  cuts.insert(cuts.begin(), 0);
  cuts.push_back(p.size());
  std::vector<std::vector<Packet>> pieces;
  for (size_t i = 0; i + 1 < cuts.size(); ++i)
    pieces.emplace_back(p.begin() + static_cast<ptrdiff_t>(cuts[i]),
                        p.begin() + static_cast<ptrdiff_t>(cuts[i + 1]));
  return pieces;
}

// Cuts at random packet boundaries, in order.
std::vector<size_t> random_cuts(size_t packets, int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<size_t> cuts;
  for (int i = 0; i < n; ++i) cuts.push_back(1 + rng() % (packets - 1));
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

// One piece a file: dir/part-NN.pcap plus the packing's ending, as tcpdump -C names
// its files in order.
std::vector<std::string> write_pieces(const std::string& dir,
                                      const std::vector<std::vector<Packet>>& pieces,
                                      const std::vector<Packing>& packings) {
  std::vector<std::string> names;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Packing packing = packings[i % packings.size()];
    char name[32];
    std::snprintf(name, sizeof name, "part-%02zu.pcap", i);
    const std::string path = dir + "/" + name + packing_suffix(packing);
    write_bytes(path, packed(packing, pcap_bytes(pieces[i]), 1 + static_cast<int>(i % 3)));
    names.push_back(path);
  }
  return names;
}

std::string write_list(const std::string& path, const std::vector<std::string>& names) {
  std::ofstream list(path);
  for (const std::string& n : names) list << n << "\n";
  return path;
}

std::string fresh_dir(const std::string& name) {
  const std::string dir = scratch_dir() + "/" + name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// What a run printed, and the records file it wrote.
struct Outputs {
  RunResult text, json;
  std::string conns;
};

Outputs outputs(const std::vector<std::string>& input, const std::string& dir,
                const RunOptions& opts = {}) {
  std::vector<std::string> args = {"-p", "80"};
  args.insert(args.end(), input.begin(), input.end());
  Outputs o;
  o.text = run_portsift(args, opts);
  std::vector<std::string> json = args;
  const std::string conns = dir + "/conns.csv";
  json.insert(json.end(), {"--json", "--conns", conns});
  o.json = run_portsift(json, opts);
  o.conns = read_file(conns);
  std::filesystem::remove(conns);
  return o;
}

void expect_same(const Outputs& got, const Outputs& whole) {
  EXPECT_EQ(got.text.out, whole.text.out);
  EXPECT_EQ(got.text.err, whole.text.err);
  EXPECT_EQ(got.text.status, whole.text.status);
  EXPECT_EQ(got.json.out, whole.json.out);
  EXPECT_EQ(got.json.status, whole.json.status);
  EXPECT_EQ(got.conns, whole.conns);
}

// A way of giving the pieces to the program: the arguments, after writing what
// they need into `dir`; with stdin set, what standard input holds.
struct SetCase {
  const char* name;
  std::function<std::vector<std::string>(const std::string& dir, const std::vector<Packet>& whole,
                                         std::string* stdin_path)>
      input;
};

const std::vector<Packing> ALL_PACKINGS = {Packing::PLAIN, Packing::GZIP, Packing::ZSTD,
                                           Packing::LZ4, Packing::XZ};

const SetCase SET_CASES[] = {
    {"directory",
     [](const std::string& dir, const std::vector<Packet>& p, std::string*) {
       write_pieces(dir, cut_at(p, random_cuts(p.size(), 6, 1)), {Packing::PLAIN});
       return std::vector<std::string>{"-r", dir};
     }},
    {"pattern",
     [](const std::string& dir, const std::vector<Packet>& p, std::string*) {
       write_pieces(dir, cut_at(p, random_cuts(p.size(), 9, 2)), {Packing::PLAIN});
       // Not matched, so not read: a capture of other traffic.
       write_bytes(dir + "/other.pcap", pcap_bytes({at(BASE_SEC, 7, syn(1))}));
       return std::vector<std::string>{"-r", dir + "/part-*.pcap"};
     }},
    {"list",
     [](const std::string& dir, const std::vector<Packet>& p, std::string*) {
       const auto names = write_pieces(dir, cut_at(p, random_cuts(p.size(), 4, 3)), {Packing::PLAIN});
       return std::vector<std::string>{"--read-list", write_list(dir + "/files.txt", names)};
     }},
    {"list_on_standard_input",
     [](const std::string& dir, const std::vector<Packet>& p, std::string* in) {
       const auto names = write_pieces(dir, cut_at(p, random_cuts(p.size(), 3, 4)), {Packing::PLAIN});
       *in = write_list(dir + "/files.txt", names);
       return std::vector<std::string>{"--read-list", "-"};
     }},
    {"every_compression",
     [](const std::string& dir, const std::vector<Packet>& p, std::string*) {
       write_pieces(dir, cut_at(p, random_cuts(p.size(), 9, 5)), ALL_PACKINGS);
       return std::vector<std::string>{"-r", dir};
     }},
    {"every_compression_by_libpcap",
     [](const std::string& dir, const std::vector<Packet>& p, std::string*) {
       write_pieces(dir, cut_at(p, random_cuts(p.size(), 9, 6)), ALL_PACKINGS);
       return std::vector<std::string>{"--libpcap-read", "-r", dir};
     }},
    {"one_piece_a_packet_at_the_start",
     [](const std::string& dir, const std::vector<Packet>& p, std::string*) {
       write_pieces(dir, cut_at(p, {1, 2, 3, p.size() - 1}), {Packing::ZSTD, Packing::PLAIN});
       return std::vector<std::string>{"-r", dir};
     }},
    {"compressed_file",
     [](const std::string& dir, const std::vector<Packet>& p, std::string*) {
       write_bytes(dir + "/all.pcap.zst", packed(Packing::ZSTD, pcap_bytes(p), 3));
       return std::vector<std::string>{"-r", dir + "/all.pcap.zst"};
     }},
    {"compressed_standard_input",
     [](const std::string& dir, const std::vector<Packet>& p, std::string* in) {
       *in = dir + "/all.gz";
       write_bytes(*in, packed(Packing::GZIP, pcap_bytes(p), 2));
       return std::vector<std::string>{"-r", "-"};
     }},
};

class CaptureSets : public ::testing::TestWithParam<SetCase> {};

TEST_P(CaptureSets, GiveTheWholeCapturesReportRecordsAndJson) {
  const SetCase& c = GetParam();
  const std::vector<Packet> whole = packets_of(long_capture());
  const std::string ref_dir = fresh_dir(std::string(c.name) + "-whole");
  write_bytes(ref_dir + "/whole.pcap", pcap_bytes(whole));
  const Outputs expected = outputs({"-r", ref_dir + "/whole.pcap"}, ref_dir);
  ASSERT_EQ(expected.text.status, 0) << expected.text.err;

  const std::string dir = fresh_dir(c.name);
  RunOptions opts;
  const std::vector<std::string> input = c.input(dir, whole, &opts.stdin_path);
  expect_same(outputs(input, dir, opts), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, CaptureSets, ::testing::ValuesIn(SET_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// A cut inside one connection's life: its SYN in the first file, its close in the
// second, and a connection reset across the cut: one connection each, as in the
// whole file.
TEST(CaptureSets, ConnectionAcrossTheCutIsOneConnection) {
  Conn across;
  across.fin_at = 9'000'000, across.answer_at = 9'000'400, across.client_bytes = 700;
  Conn reset;
  reset.client = "10.0.0.9", reset.start = 1000, reset.rst_at = 8'000'000;
  const std::vector<Packet> p = packets_of({across, reset});
  const std::string dir = fresh_dir("across");
  write_bytes(dir + "/whole.pcap", pcap_bytes(p));
  // Both SYN-ACKs before the cut; both closes after it.
  const std::string set = fresh_dir("across-set");
  write_pieces(set, cut_at(p, {p.size() / 2}), {Packing::GZIP, Packing::XZ});
  const RunResult whole = run_portsift({"-p", "80", "-R", "-r", dir + "/whole.pcap"});
  const RunResult pieces = run_portsift({"-p", "80", "-R", "-r", set});
  EXPECT_EQ(pieces.out, whole.out);
  EXPECT_EQ(pieces.status, 0) << pieces.err;
  EXPECT_NE(whole.out.find("Total Connections (terminated by FIN): 1\n"), std::string::npos)
      << whole.out;
}

// Two interfaces, each its own file and link type, their timestamps interleaved
// and some equal: the report of the one capture both make, ordered by time, the
// first file's packet first where the times are equal.
TEST(CaptureSets, TwoInterfacesGiveTheReportOfTheirMerge) {
  std::vector<Conn> a, b;
  for (int i = 0; i < 20; ++i) {
    Conn c;
    c.client = "10.0.3." + std::to_string(i + 1);
    c.start = i * 250'000;
    c.synack_at = 400;
    c.fin_at = 40'000 + i * 900, c.answer_at = c.fin_at + 300;
    c.client_bytes = 10 + i, c.server_bytes = 1000 * (i + 1);
    (i % 2 ? b : a).push_back(c);
    // The other interface carries a connection of its own at the very same times.
    c.client = "10.0.4." + std::to_string(i + 1);
    c.fin_at += 7;
    (i % 2 ? a : b).push_back(c);
  }
  const std::vector<Packet> pa = packets_of(a), pb = packets_of(b, Link::LOOPBACK);
  std::vector<Packet> merged = packets_of(a);
  const std::vector<Packet> pb_ethernet = packets_of(b);
  merged.insert(merged.end(), pb_ethernet.begin(), pb_ethernet.end());
  std::stable_sort(merged.begin(), merged.end(), [](const Packet& x, const Packet& y) {
    return x.sec != y.sec ? x.sec < y.sec : x.usec < y.usec;
  });
  const std::string dir = fresh_dir("interfaces");
  write_bytes(dir + "/merged.pcap", pcap_bytes(merged));
  const std::string set = fresh_dir("interfaces-set");
  write_bytes(set + "/eth0.pcap.zst", packed(Packing::ZSTD, pcap_bytes(pa)));
  write_bytes(set + "/lo.pcap", pcap_bytes(pb, Link::LOOPBACK));
  for (const char* variant : {"", "--libpcap-read"}) {
    Outputs whole = outputs({"-r", dir + "/merged.pcap"}, dir);
    std::vector<std::string> input = {"-r", set};
    if (*variant) input.insert(input.begin(), variant);
    expect_same(outputs(input, set), whole);
  }
}

// -w over a set writes the merged, filtered packets: the same file as -w over the
// whole capture.
TEST(CaptureSets, WriteModeCopiesTheMergedPackets) {
  const std::vector<Packet> whole = packets_of(long_capture());
  const std::string dir = fresh_dir("write");
  write_bytes(dir + "/whole.pcap", pcap_bytes(whole));
  const std::string set = fresh_dir("write-set");
  write_pieces(set, cut_at(whole, random_cuts(whole.size(), 5, 7)), ALL_PACKINGS);
  const RunResult a = run_portsift({"-p", "80", "-r", dir + "/whole.pcap", "-w", dir + "/a.pcap"});
  const RunResult b = run_portsift({"-p", "80", "-r", set, "-w", dir + "/b.pcap"});
  EXPECT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(b.err, a.err);
  EXPECT_FALSE(read_bytes(dir + "/a.pcap").empty());
  EXPECT_EQ(read_bytes(dir + "/b.pcap"), read_bytes(dir + "/a.pcap"));
}

// ---------------------------------------------------------------------------
// Bad sets: what the user is told, and the status.

std::string replace_dir(std::string s, const std::string& dir) {
  for (size_t pos; (pos = s.find("@DIR")) != std::string::npos;) s.replace(pos, 4, dir);
  return s;
}

struct BadSet {
  const char* name;
  // Writes the case's files into `dir`; returns the input arguments.
  std::function<std::vector<std::string>(const std::string& dir)> input;
  std::string err;  // exact; @DIR stands for the case's directory
  int status;
  // For a run that goes on: the input whose report standard output must equal.
  std::function<std::vector<std::string>(const std::string& dir)> same_report_as;
};

std::vector<Packet> small_capture() { return packets_of(mixed_connections()); }

// The three pieces of the small capture in `dir`, the second packed as asked.
std::vector<std::string> three_pieces(const std::string& dir, Packing middle) {
  const std::vector<Packet> p = small_capture();
  return write_pieces(dir, cut_at(p, {p.size() / 3, 2 * p.size() / 3}),
                      {Packing::PLAIN, middle, Packing::PLAIN});
}

// A file cut to this share of its length. The pieces' second file holds two
// members or frames: cut to three quarters, it ends inside the second.
void cut_to(const std::string& path, double share) {
  std::vector<uint8_t> bytes = read_bytes(path);
  bytes.resize(static_cast<size_t>(static_cast<double>(bytes.size()) * share));
  write_bytes(path, bytes);
}

// The pieces, the second one replaced by what its format's own tool can
// decompress of it (written as a plain capture, which may end inside a record).
std::vector<std::string> as_decompressed(const std::string& dir, const char* tool,
                                         const std::string& suffix) {
  const std::string ref = dir + "/ref";
  std::filesystem::create_directories(ref);
  std::vector<std::string> names = three_pieces(ref, Packing::PLAIN);
  const std::string cmd = std::string(tool) + " -dc " + dir + "/part-01.pcap" + suffix + " > " +
                          names[1] + " 2>/dev/null";
  (void)std::system(cmd.c_str());
  return {"-r", ref};
}

const BadSet BAD_SETS[] = {
    {"notes_in_the_directory",
     [](const std::string& dir) {
       three_pieces(dir, Packing::GZIP);
       std::ofstream(dir + "/NOTES") << "captured on the edge router\n";
       write_bytes(dir + "/SHA256SUMS.gz", packed(Packing::GZIP, {'a', 'b', '\n'}));
       return std::vector<std::string>{"-r", dir};
     },
     "portsift: skipped in @DIR, not capture files: @DIR/NOTES, @DIR/SHA256SUMS.gz\n", 0,
     [](const std::string& dir) {
       const std::string ref = dir + "/ref";
       std::filesystem::create_directories(ref);
       write_bytes(ref + "/whole.pcap", pcap_bytes(small_capture()));
       return std::vector<std::string>{"-r", ref + "/whole.pcap"};
     }},
    {"not_a_capture_in_a_list",
     [](const std::string& dir) {
       std::vector<std::string> names = three_pieces(dir, Packing::PLAIN);
       std::ofstream(dir + "/NOTES") << "captured on the edge router\n";
       names.insert(names.begin() + 1, dir + "/NOTES");
       return std::vector<std::string>{"--read-list", write_list(dir + "/list", names)};
     },
     "portsift: @DIR/NOTES is not a capture file\n", 1, nullptr},
    {"missing_file_in_a_list",
     [](const std::string& dir) {
       std::vector<std::string> names = three_pieces(dir, Packing::PLAIN);
       names.push_back(dir + "/part-03.pcap");
       return std::vector<std::string>{"--read-list", write_list(dir + "/list", names)};
     },
     "portsift: @DIR/part-03.pcap: No such file or directory\n", 1, nullptr},
    {"unreadable_file_in_the_directory",
     [](const std::string& dir) {
       three_pieces(dir, Packing::PLAIN);
       std::filesystem::create_symlink(dir + "/rotated-away.pcap", dir + "/part-03.pcap");
       return std::vector<std::string>{"-r", dir};
     },
     "portsift: @DIR/part-03.pcap: No such file or directory\n", 1, nullptr},
    {"empty_directory", [](const std::string& dir) { return std::vector<std::string>{"-r", dir}; },
     "portsift: @DIR holds no capture file\n", 1, nullptr},
    {"directory_of_notes_only",
     [](const std::string& dir) {
       std::ofstream(dir + "/NOTES") << "nothing captured\n";
       return std::vector<std::string>{"-r", dir};
     },
     "portsift: skipped in @DIR, not capture files: @DIR/NOTES\nportsift: @DIR holds no capture "
     "file\n",
     1, nullptr},
    {"pattern_matching_nothing",
     [](const std::string& dir) {
       three_pieces(dir, Packing::PLAIN);
       return std::vector<std::string>{"-r", dir + "/*.pcap.gz"};
     },
     "portsift: no file matches @DIR/*.pcap.gz\n", 1, nullptr},
    {"empty_list",
     [](const std::string& dir) {
       return std::vector<std::string>{"--read-list", write_list(dir + "/list", {})};
     },
     "portsift: @DIR/list names no capture file\n", 1, nullptr},
    {"truncated_gzip_member",
     [](const std::string& dir) {
       three_pieces(dir, Packing::GZIP);
       cut_to(dir + "/part-01.pcap.gz", 0.75);
       return std::vector<std::string>{"-r", dir};
     },
     "Warning: @DIR/part-01.pcap.gz ended with a read error: the gzip data end inside a member; "
     "the report covers the packets read before it\nportsift: 1 of the 3 files ended early\n",
     0, [](const std::string& dir) { return as_decompressed(dir, "gzip", ".gz"); }},
    {"zstd_frame_cut_in_half",
     [](const std::string& dir) {
       three_pieces(dir, Packing::ZSTD);
       cut_to(dir + "/part-01.pcap.zst", 0.75);
       return std::vector<std::string>{"-r", dir};
     },
     "Warning: @DIR/part-01.pcap.zst ended with a read error: the zstd data end inside a frame; "
     "the report covers the packets read before it\nportsift: 1 of the 3 files ended early\n",
     0, [](const std::string& dir) { return as_decompressed(dir, "zstd", ".zst"); }},
    // Cut inside its first frame, the file gives not even the bytes that would say
    // it is a capture: it cannot be read, and the run does not start.
    {"zstd_cut_before_its_first_bytes",
     [](const std::string& dir) {
       three_pieces(dir, Packing::ZSTD);
       cut_to(dir + "/part-01.pcap.zst", 0.25);
       return std::vector<std::string>{"-r", dir};
     },
     "portsift: @DIR/part-01.pcap.zst: the zstd data end inside a frame\n", 1, nullptr},
    {"damaged_xz_stream",
     [](const std::string& dir) {
       three_pieces(dir, Packing::XZ);
       std::vector<uint8_t> bytes = read_bytes(dir + "/part-01.pcap.xz");
       bytes[bytes.size() / 2] ^= 0xff;
       write_bytes(dir + "/part-01.pcap.xz", bytes);
       return std::vector<std::string>{"-r", dir};
     },
     "Warning: @DIR/part-01.pcap.xz ended with a read error: xz: damaged data; the report "
     "covers the packets read before it\nportsift: 1 of the 3 files ended early\n",
     0, nullptr},
    {"cut_record_in_one_file",
     [](const std::string& dir) {
       three_pieces(dir, Packing::PLAIN);
       std::vector<uint8_t> bytes = read_bytes(dir + "/part-01.pcap");
       bytes.resize(bytes.size() - 5);
       write_bytes(dir + "/part-01.pcap", bytes);
       return std::vector<std::string>{"-r", dir};
     },
     "Warning: @DIR/part-01.pcap ended with a read error: truncated dump file; tried to read 54 "
     "captured bytes, only got 49; the report covers the packets read before it\nportsift: 1 of "
     "the 3 files ended early\n",
     0, nullptr},
};

void PrintTo(const BadSet& c, std::ostream* os) { *os << c.name; }

class BadSets : public ::testing::TestWithParam<BadSet> {};

TEST_P(BadSets, NameTheFile) {
  const BadSet& c = GetParam();
  const std::string dir = fresh_dir(std::string("bad-") + c.name);
  std::vector<std::string> args = {"-p", "80"};
  const std::vector<std::string> input = c.input(dir);
  args.insert(args.end(), input.begin(), input.end());
  const RunResult r = run_portsift(args);
  EXPECT_EQ(r.err, replace_dir(c.err, dir));
  EXPECT_EQ(r.status, c.status);
  if (c.status != 0) {
    EXPECT_EQ(r.out, "");
  }
  if (c.same_report_as) {
    std::vector<std::string> ref = {"-p", "80"};
    const std::vector<std::string> ref_input = c.same_report_as(dir);
    ref.insert(ref.end(), ref_input.begin(), ref_input.end());
    EXPECT_EQ(r.out, run_portsift(ref).out);
  } else if (c.status == 0) {
    EXPECT_NE(r.out.find("Total Connections"), std::string::npos) << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, BadSets, ::testing::ValuesIn(BAD_SETS),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
