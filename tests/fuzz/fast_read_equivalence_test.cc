// The fast reader and libpcap must print the same bytes for every savefile: whole,
// cut at any point, or with damaged record headers, where the fast reader hands the
// rest of the file to libpcap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "testlib/files.h"
#include "fuzz/fuzz_entry.h"
#include "run/split_tracker.h"
#include "testlib/capture_builder.h"
#include "testlib/connections.h"

namespace {

std::vector<uint8_t> demo_bytes() { return testlib::read_bytes(DEMO_PCAP); }

// Where each record starts, from its header's captured length.
std::vector<size_t> record_offsets(const std::vector<uint8_t>& file) {
  std::vector<size_t> at;
  for (size_t off = 24; off + 16 <= file.size();) {
    at.push_back(off);
    uint32_t caplen;
    std::memcpy(&caplen, &file[off + 8], 4);
    off += 16 + caplen;
  }
  return at;
}

// `records`: the runs write connection records and interval rows (to /dev/null);
// without them a quiet run of one port splits its tracker between two threads.
void expect_same(const std::vector<uint8_t>& file, const std::vector<std::string>& args,
                 const std::string& what, bool records = true) {
  const fuzz::RunText by_libpcap =
      fuzz::run_savefile_once(file.data(), file.size(), args, true, nullptr, records);
  const fuzz::RunText fast =
      fuzz::run_savefile_once(file.data(), file.size(), args, false, nullptr, records);
  EXPECT_EQ(fast.out, by_libpcap.out) << what;
  EXPECT_EQ(fast.err, by_libpcap.err) << what;
  EXPECT_EQ(fast.status, by_libpcap.status) << what;
}

const std::vector<std::vector<std::string>> FORMS = {
    {"-p", "8080"}, {"-p", "8080", "-R", "-T", "-C", "-s", "1"}, {"-p", "8080", "-V", "999"}};

TEST(FastRead, WholeAndCutCapturesPrintWhatLibpcapsRunPrints) {
  const std::vector<uint8_t> demo = demo_bytes();
  ASSERT_GT(demo.size(), 1000u);
  for (const auto& form : FORMS) expect_same(demo, form, "whole");
  // Every cut inside the last record's header and the start of its data (the
  // reader's own tests cut every byte of its records), and cuts anywhere.
  const std::vector<size_t> records = record_offsets(demo);
  std::vector<size_t> cuts;
  for (size_t at = records.back(); at < std::min(demo.size(), records.back() + 80); at++)
    cuts.push_back(at);
  std::mt19937 rng(15);
  for (int i = 0; i < 100; i++) cuts.push_back(rng() % demo.size());
  for (size_t cut : cuts)
    expect_same(std::vector<uint8_t>(demo.begin(), demo.begin() + cut), FORMS[0],
                "cut at " + std::to_string(cut));
}

TEST(FastRead, DamagedRecordHeadersPrintWhatLibpcapsRunPrints) {
  const std::vector<uint8_t> demo = demo_bytes();
  const std::vector<size_t> records = record_offsets(demo);
  std::mt19937 rng(16);
  const uint32_t lengths[] = {0, 1, 53, 54, 65535, 65536, 262144, 262145, 0x7fffffff, 0xffffffff};
  for (int i = 0; i < 150; i++) {
    std::vector<uint8_t> file = demo;
    const size_t record = records[rng() % records.size()];
    const size_t field = 4 * (rng() % 4);  // seconds, microseconds, captured, wire length
    const uint32_t value = rng() % 2 ? lengths[rng() % std::size(lengths)] : rng();
    std::memcpy(&file[record + field], &value, 4);
    expect_same(file, FORMS[i % FORMS.size()],
                "record at " + std::to_string(record) + ", field " + std::to_string(field) + " = " +
                    std::to_string(value));
  }
}

// Captures of the other byte order and with the loopback framing take the same paths.
TEST(FastRead, OtherByteOrderAndLoopbackFraming) {
  std::vector<testlib::Conn> conns;
  for (int i = 0; i < 20; i++) {
    testlib::Conn c;
    c.port = static_cast<uint16_t>(6000 + i);
    c.start = i * 20000;
    c.fin_at = i % 3 == 0 ? -1 : 30000 + i * 1000;
    c.answer_at = c.fin_at < 0 ? -1 : c.fin_at + 500;
    c.rst_at = i % 7 == 0 ? 40000 : -1;
    conns.push_back(c);
  }
  const std::vector<testlib::Packet> packets = testlib::packets_of(conns);
  for (testlib::Link link : {testlib::Link::ETHERNET, testlib::Link::LOOPBACK}) {
    expect_same(testlib::pcap_bytes(packets, link), {"-p", "80"}, "this host's order");
    expect_same(testlib::pcap_bytes_other_order(packets, link), {"-p", "80"}, "other order");
  }
}

// Thousands of clients in every fate, their packets interleaved and some endpoints
// used twice: a file run deals its clients between two trackers, and a segment
// tracked out of its client's order, or a figure not summed, would show here. With
// `bad_bucket`, one connection lasts 25 days: its "Bad bucket value" line makes the
// split run's result not stand, and the file is read again on one thread.
std::vector<testlib::Conn> many_client_conns(unsigned seed, bool bad_bucket) {
  std::mt19937 rng(seed);
  std::vector<testlib::Conn> conns;
  for (int i = 0; i < 4000; i++) {
    testlib::Conn c;
    c.client = "10." + std::to_string(1 + i % 7) + "." + std::to_string(i / 250) + "." +
               std::to_string(1 + i % 250);
    c.port = static_cast<uint16_t>(1024 + rng() % 60000);
    c.start = static_cast<int64_t>(rng() % 3'000'000);
    c.client_isn = rng();
    c.server_isn = rng();
    c.client_bytes = 1 + rng() % 200000;
    c.server_bytes = 1 + rng() % 2000000;
    c.syns = 1 + (rng() % 8 == 0 ? 1 + rng() % 3 : 0);
    c.synacks = rng() % 20 == 0 ? 5 : 1;
    switch (rng() % 8) {
      case 0: c.synack_at = -1; break;                                        // unanswered
      case 1: c.rst_at = 500 + rng() % 9000; c.rst_from_server = rng() % 2; break;  // reset
      case 2: break;                                                          // left open
      default:
        c.fin_at = 1000 + rng() % 900000;
        c.client_fin_first = rng() % 3 != 0;
        if (rng() % 6 != 0) c.answer_at = c.fin_at + rng() % 1500;  // else: left closing
    }
    conns.push_back(c);
    // The same endpoint again, after the first connection is over or while it is.
    if (i % 50 == 0) {
      c.start += 1'000'000 + static_cast<int64_t>(rng() % 100'000);
      c.client_isn = rng();
      conns.push_back(c);
    }
  }
  if (bad_bucket) {
    testlib::Conn c;
    c.client = "10.9.9.9";
    c.start = 1000;
    c.fin_at = int64_t{25} * 24 * 3600 * 1'000'000;
    c.answer_at = c.fin_at + 100;
    conns.push_back(c);
  }
  return conns;
}

std::vector<uint8_t> many_clients(unsigned seed, bool bad_bucket) {
  return testlib::pcap_bytes(testlib::packets_of(many_client_conns(seed, bad_bucket)));
}

TEST(FastRead, TrackerSplitBetweenTwoThreadsPrintsWhatOneThreadPrints) {
  const std::vector<std::vector<std::string>> forms = {
      {"-p", "80"},
      {"-p", "80", "-R", "-T", "-n", "7", "-s", "3"},
      {"-p", "80", "-P", "-V", "1"},
      {"-p", "80", "-C", "-s", "1"},
      {"-p", "80", "-S", "-n", "50", "-s", "1"},
  };
  const uint64_t stood = TrackerSplit::results_that_stood();
  for (unsigned seed : {1u, 2u}) {
    const std::vector<uint8_t> file = many_clients(seed, false);
    for (const auto& form : forms)
      expect_same(file, form, "seed " + std::to_string(seed), false);
  }
  // Each of those runs split (where the machine lets a run use two processors).
  const bool splits = TrackerSplit::two_processors();
  if (splits) {
    EXPECT_EQ(TrackerSplit::results_that_stood() - stood, 2 * forms.size());
  }
  const std::vector<uint8_t> bad = many_clients(3, true);
  for (const auto& form : forms) expect_same(bad, form, "a bad bucket value", false);
  // Cut short, the fast reader leaves the last record to libpcap: the same.
  expect_same(std::vector<uint8_t>(bad.begin(), bad.end() - 7), forms[0], "cut short", false);
  // With --decode-all, IPv6 clients behind a VLAN tag beside IPv4 ones: each side
  // numbers its own clients' addresses.
  std::vector<testlib::Conn> conns = many_client_conns(4, false);
  std::vector<testlib::Conn> half(conns.begin(), conns.begin() + conns.size() / 2);
  std::vector<testlib::Packet> packets = testlib::packets_of(testlib::over_ipv6(half), testlib::Link::ETHERNET, {7});
  const std::vector<testlib::Packet> v4 =
      testlib::packets_of(std::vector<testlib::Conn>(conns.begin() + conns.size() / 2, conns.end()));
  packets.insert(packets.end(), v4.begin(), v4.end());
  std::stable_sort(packets.begin(), packets.end(), [](const testlib::Packet& a, const testlib::Packet& b) {
    return std::tie(a.sec, a.usec) < std::tie(b.sec, b.usec);
  });
  for (const auto& form : forms) {
    std::vector<std::string> args = form;
    args.push_back("--decode-all");
    const uint64_t before = TrackerSplit::results_that_stood();
    expect_same(testlib::pcap_bytes(packets), args, "IPv6 and IPv4 with --decode-all", false);
    if (splits) {
      EXPECT_EQ(TrackerSplit::results_that_stood() - before, 1u);
    }
  }
}

}  // namespace
