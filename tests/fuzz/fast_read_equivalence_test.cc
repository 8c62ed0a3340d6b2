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
#include <vector>

#include "testlib/files.h"
#include "fuzz/fuzz_entry.h"
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

void expect_same(const std::vector<uint8_t>& file, const std::vector<std::string>& args,
                 const std::string& what) {
  const fuzz::RunText by_libpcap = fuzz::run_savefile_once(file.data(), file.size(), args, true);
  const fuzz::RunText fast = fuzz::run_savefile_once(file.data(), file.size(), args, false);
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

}  // namespace
