// The fast file run's filter against libpcap's compiled program: for the classic
// expression and for that of --decode-all, on every link type the run reads and in
// either byte order (all of them answered by the native check), the same frames (whole, cut at every byte, mutated) must get
// the verdict pcap_offline_filter() gives them with the program compiled on the
// savefile's own handle.
#include "run/file_filter.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "run/capture_filter.h"
#include "testlib/capture_builder.h"
#include "testlib/compiled_filter.h"
#include "testlib/connections.h"

using namespace testlib;

namespace {

constexpr uint16_t PORT = 80;

struct Source {
  const char* name;
  int dlt;
  Link frames;  // how the test builds this link's frames
  bool swapped;
};

const Source SOURCES[] = {
    {"ethernet", DLT_EN10MB, Link::ETHERNET, false},
    {"ethernet-other-order", DLT_EN10MB, Link::ETHERNET, true},
    {"null", DLT_NULL, Link::LOOPBACK, false},
    {"null-other-order", DLT_NULL, Link::LOOPBACK, true},
    {"cooked", DLT_LINUX_SLL, Link::COOKED, false},
    {"cooked2", DLT_LINUX_SLL2, Link::COOKED2, false},
    {"raw", DLT_RAW, Link::RAW, false},
    {"ipv4", 228, Link::RAW, false},
    {"ipv6", 229, Link::RAW, false},
};

// Connections in every state, in both families.
std::vector<Conn> some_connections() {
  std::vector<Conn> v;
  Conn c;
  c.fin_at = 2000, c.client_bytes = 501, c.server_bytes = 3001, c.answer_at = 2900;
  v.push_back(c);
  c = Conn{};
  c.client = "10.0.0.4", c.port = 4001, c.syns = 2, c.rst_at = 900, c.rst_from_server = true;
  v.push_back(c);
  return v;
}

// The frames of a link: the connections' segments over IPv4 and IPv6, on Ethernet
// also behind one and two tags, and frames the filter must turn down.
std::vector<std::vector<uint8_t>> frames_of(const Source& s) {
  std::vector<std::vector<uint8_t>> out;
  const auto add = [&](const std::vector<Packet>& packets) {
    for (const Packet& p : packets) out.push_back(p.data);
  };
  std::vector<std::vector<uint16_t>> taggings = {{}};
  if (s.frames == Link::ETHERNET) taggings = {{}, {0x8100}, {0x88a8, 0x8100}, {0x9100}};
  for (const auto& tags : taggings) {
    if (s.dlt != 229) add(packets_of(some_connections(), s.frames, tags));
    if (s.dlt != 228) {
      add(packets_of(over_ipv6(some_connections()), s.frames, tags));
      // Behind extension headers: a chain the filter passes, and one too long for it.
      add(packets_of(over_ipv6(some_connections()), s.frames, tags,
                     {option_header(0, 1), option_header(60), fragment_header(0)}));
      add(packets_of(over_ipv6(some_connections()), s.frames, tags,
                     {option_header(0), option_header(43), option_header(60)}));
    }
  }
  Seg odd = syn(1);
  odd.ip_opts = 8;  // IPv4 options move TCP
  out.push_back(tcp_frame(s.frames, odd));
  out.push_back(udp_frame(s.frames, "10.0.0.1", "10.0.0.2", 5555, PORT));
  if (s.frames == Link::ETHERNET) {
    out.push_back(arp_frame());
    out.push_back(ipv6_frame());
  }
  // A loopback file from a host of the other byte order stores its families so.
  if (s.frames == Link::LOOPBACK && s.swapped)
    for (auto& f : out) std::reverse(f.begin(), f.begin() + 4);
  return out;
}

// Counts agreements over frames, each copied to the end of a heap block of its
// captured length, so that AddressSanitizer stops any read past it.
struct Comparison {
  const FileFilter& fast;
  const CompiledFilter& libpcap;
  uint64_t frames = 0, passed = 0, disagreements = 0;
  std::string first;

  void check(const std::vector<uint8_t>& frame, size_t caplen, uint32_t wire_len) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[std::max<size_t>(caplen, 1)]);
    std::copy(frame.begin(), frame.begin() + static_cast<long>(caplen), block.get());
    pcap_pkthdr h{};
    h.caplen = static_cast<uint32_t>(caplen);
    h.len = wire_len;
    const bool want = libpcap.passes(h, block.get());
    frames++;
    passed += want;
    if (fast.matches(h, block.get()) == want) return;
    if (disagreements++ == 0) {
      char line[64];
      std::snprintf(line, sizeof line, "libpcap %d on %zu of %zu bytes:", want, caplen,
                    frame.size());
      first = line;
      for (size_t i = 0; i < caplen; ++i) {
        std::snprintf(line, sizeof line, " %02x", frame[i]);
        first += line;
      }
    }
  }
};

TEST(FileFilter, AgreesWithLibpcapOnEveryLinkCutAndMutation) {
  for (const bool decode_all : {false, true}) {
    for (const Source& s : SOURCES) {
      SCOPED_TRACE(std::string(s.name) + (decode_all ? " --decode-all" : ""));
      const EmptySavefile file(s.dlt, s.swapped);
      const std::optional<FileFilter> fast = FileFilter::make(file.handle(), PORT, decode_all);
      // Without --decode-all only the link types the native check knows have one.
      const bool classic_link = s.dlt == DLT_EN10MB || s.dlt == DLT_NULL;
      ASSERT_EQ(fast.has_value(), decode_all || classic_link);
      if (!fast) continue;
      // The native check answers on all of them: libpcap's program never runs.
      EXPECT_TRUE(fast->native());
      // The program the capture set-up compiles, on the same handle.
      const CompiledFilter program(file.handle(), decode_all ? decode_all_filter_expression(
                                                                   PORT, {}, s.dlt)
                                                             : filter_expression(PORT, {}));
      Comparison c{*fast, program, 0, 0, 0, {}};
      const std::vector<std::vector<uint8_t>> frames = frames_of(s);
      for (const auto& f : frames)
        for (size_t len = 0; len <= f.size(); ++len) c.check(f, len, static_cast<uint32_t>(f.size()));
      std::mt19937_64 rng(7);
      const uint8_t telling[] = {0x00, 0x50, 0x08, 0x86, 0xdd, 0x81, 0x88, 0xa8, 0x91,
                                 0x45, 0x60, 0x06, 0x02, 0x18, 0x1e, 0x1c, 0x2c, 0xff};
      for (int i = 0; i < 20000; ++i) {
        std::vector<uint8_t> f = frames[rng() % frames.size()];
        for (int k = 1 + static_cast<int>(rng() % 3); k > 0 && !f.empty(); --k)
          f[rng() % std::min<size_t>(f.size(), 90)] =
              (rng() & 1) ? static_cast<uint8_t>(rng()) : telling[rng() % sizeof telling];
        c.check(f, rng() % 4 == 0 ? rng() % (f.size() + 1) : f.size(),
                static_cast<uint32_t>(f.size()));
      }
      EXPECT_EQ(c.disagreements, 0u) << c.first;
      // Both verdicts, well represented, or agreeing means little.
      EXPECT_GT(c.passed, 200u);
      EXPECT_GT(c.frames - c.passed, 2000u);
    }
  }
}

}  // namespace
