// The capture filter of --decode-all against the decoder: for IPv6 frames behind
// every extension header chain, read or not, on every link type that carries IPv6,
// libpcap's compiled program passes a frame exactly when the decoder reads its TCP
// header and finds the port's SYN, FIN or RST. And the program stays small enough
// for the kernel.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "run/capture_filter.h"
#include "testlib/capture_builder.h"
#include "testlib/compiled_filter.h"
#include "track/decode.h"

using namespace testlib;

namespace {

constexpr uint16_t PORT = 80;

// A link type and byte order as a savefile presents them, and how an IPv6 frame is
// framed on it.
struct Source {
  const char* name;
  int dlt;
  bool swapped;  // written on a host of the other byte order
  Link link;
  std::vector<uint16_t> tags;  // Ethernet
  uint32_t null_family = 0;    // DLT_NULL: the IPv6 family the capturing host wrote
};

const Source IPV6_SOURCES[] = {
    {"ethernet", DLT_EN10MB, false, Link::ETHERNET, {}},
    {"dot1q", DLT_EN10MB, false, Link::ETHERNET, {0x8100}},
    {"qinq", DLT_EN10MB, true, Link::ETHERNET, {0x88a8, 0x8100}},
    {"cooked", DLT_LINUX_SLL, false, Link::COOKED, {}},
    {"cooked2", DLT_LINUX_SLL2, false, Link::COOKED2, {}},
    {"null-freebsd", DLT_NULL, false, Link::LOOPBACK, {}, 28},
    {"null-mac-other-order", DLT_NULL, true, Link::LOOPBACK, {}, 30},
    {"raw", DLT_RAW, false, Link::RAW, {}},
    {"ipv6", DLT_IPV6, false, Link::RAW, {}},
};

std::vector<uint8_t> frame_of(const Source& s, Seg seg) {
  seg.vlan_tags = s.tags;
  std::vector<uint8_t> f = tcp_frame(s.link, seg);
  if (s.dlt == DLT_NULL) {
    const uint32_t family = s.swapped ? __builtin_bswap32(s.null_family) : s.null_family;
    std::memcpy(f.data(), &family, 4);
  }
  return f;
}

// Both verdicts on frames, each copied to the end of a heap block of its captured
// length so that AddressSanitizer stops any read past it; disagreements counted,
// the first few kept to show.
class Comparison {
 public:
  Comparison(const Source& s, uint16_t port) : Comparison(s, PortSet::of({port})) {}
  Comparison(const Source& s, const PortSet& ports)
      : source_(s),
        program_(s.dlt, s.swapped, decode_all_filter_expression(ports, {}, s.dlt)),
        ports_(ports) {}

  void check(const std::vector<uint8_t>& frame, size_t caplen, const std::string& what,
             bool well_formed) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[std::max<size_t>(caplen, 1)]);
    std::copy(frame.begin(), frame.begin() + static_cast<long>(caplen), block.get());
    DecodedFrame d;
    const DecodeStatus status = decode_frame(PacketReader{block.get(), caplen},
                                             LinkInfo{source_.dlt, source_.swapped, true}, &d);
    // The filter does not look at what the decoder still drops once it has read the
    // TCP header (a data offset below 20, a payload length too short for a FIN's
    // headers): the table's frames have none of that, so there it is SEGMENT.
    const bool port_segment = status > DecodeStatus::SHORT_TCP && (d.seg.flags & 0x07) != 0 &&
                              (ports_.contains(d.seg.src.port) || ports_.contains(d.seg.dst.port));
    if (well_formed && port_segment && status != DecodeStatus::SEGMENT) note(what, caplen, "BAD");
    const bool passes = program_.passes(block.get(), caplen, frame.size());
    ++frames;
    if (passes) ++passed;
    if (passes != port_segment) note(what, caplen, passes ? "passes" : "drops");
  }
  // The frame and every cut of it.
  void check_cuts(const std::vector<uint8_t>& frame, const std::string& what) {
    for (size_t len = 0; len <= frame.size(); ++len) check(frame, len, what, true);
  }
  std::string report() const {
    std::string r;
    for (const std::string& s : shown_) r += s + "\n";
    return r;
  }

  uint64_t frames = 0, passed = 0, disagreements = 0;

 private:
  void note(const std::string& what, size_t caplen, const char* verdict) {
    ++disagreements;
    if (shown_.size() < 10)
      shown_.push_back(std::string(source_.name) + " " + what + " caplen " +
                       std::to_string(caplen) + ": libpcap " + verdict);
  }

  const Source& source_;
  CompiledFilter program_;
  PortSet ports_;
  std::vector<std::string> shown_;
};

struct Chain {
  std::string name;
  std::vector<Ip6Header> headers;
  uint8_t proto = 6;  // what follows the last header
};

// Chains the decoder reads and chains it does not, with option header lengths from
// the least to the most (0 to 255) and the fragment header's fields at their edges.
std::vector<Chain> chains() {
  std::vector<Chain> out;
  const auto add = [&](std::string name, std::vector<Ip6Header> headers, uint8_t proto = 6) {
    out.push_back(Chain{std::move(name), std::move(headers), proto});
  };
  const uint8_t OPTIONS[] = {0, 43, 60};
  const uint8_t LENGTHS[] = {0, 1, 3, 255};
  const auto opt = [](uint8_t type, uint8_t len) { return option_header(type, len); };
  const auto label = [](uint8_t type, uint8_t len) {
    return std::to_string(type) + "/" + std::to_string(len);
  };
  add("none", {});
  add("first fragment", {fragment_header(0)});
  add("atomic fragment, reserved bits", {fragment_header(0, false, 0xff)});
  for (uint8_t a : OPTIONS)
    for (uint8_t len : LENGTHS) {
      add(label(a, len), {opt(a, len)});
      add(label(a, len) + " first fragment", {opt(a, len), fragment_header(0)});
      for (uint8_t b : OPTIONS) {
        const uint8_t len2 = static_cast<uint8_t>(len == 255 ? 2 : len + 1);
        add(label(a, len) + " " + label(b, len2), {opt(a, len), opt(b, len2)});
        add(label(a, len) + " " + label(b, len2) + " first fragment",
            {opt(a, len), opt(b, len2), fragment_header(0, false)});
        // One header deeper than read, with or without a fragment header after it.
        add(label(a, len) + " " + label(b, len2) + " 60/0",
            {opt(a, len), opt(b, len2), opt(60, 0)});
      }
    }
  for (uint8_t a : OPTIONS)
    for (uint8_t b : OPTIONS)
      add(label(a, 1) + " " + label(b, 0) + " 0/2 first fragment",
          {opt(a, 1), opt(b, 0), opt(0, 2), fragment_header(0)});
  // Later fragments, whatever comes before them.
  for (uint16_t offset : {1, 2, 185, 0x1000, 0x1fff})
    for (bool more : {true, false}) {
      const std::string name = "fragment offset " + std::to_string(offset) + (more ? " M" : "");
      add(name, {fragment_header(offset, more)});
      add("0/0 " + name, {opt(0, 0), fragment_header(offset, more)});
      add("43/1 60/0 " + name, {opt(43, 1), opt(60, 0), fragment_header(offset, more)});
    }
  // What may not follow a fragment header, and headers not read at all.
  add("fragment 60/0", {fragment_header(0), opt(60, 0)});
  add("fragment fragment", {fragment_header(0), fragment_header(0)});
  add("60/0 fragment 0/0", {opt(60, 0), fragment_header(0), opt(0, 0)});
  for (uint8_t type : {51, 50, 59, 135, 139, 253, 4, 41})
    add("header " + std::to_string(type), {Ip6Header{type, std::vector<uint8_t>(16, 0)}});
  add("0/0 header 51", {opt(0, 0), Ip6Header{51, std::vector<uint8_t>(16, 0)}});
  for (uint8_t proto : {17, 58, 0, 44, 132})
    add("0/1 then protocol " + std::to_string(proto), {opt(0, 1)}, proto);
  add("first fragment of UDP", {fragment_header(0)}, 17);
  return out;
}

// The segments put behind each chain: the port on either side, both or neither (and
// its bytes reversed), the flags the filter passes and some it does not.
std::vector<std::pair<std::string, Seg>> segments(uint16_t port) {
  std::vector<std::pair<std::string, Seg>> out;
  const struct {
    uint16_t sport, dport;
  } PORTS[] = {{5555, port},
               {port, 5555},
               {port, port},
               {5555, 5556},
               {__builtin_bswap16(port), __builtin_bswap16(port)}};
  const uint8_t FLAGS[] = {SYN, SYN | ACK, FIN | ACK, RST, RST | ACK, ACK, PSH | ACK, 0};
  for (const auto& p : PORTS)
    for (uint8_t flags : FLAGS) {
      Seg s = as_ipv6(syn(1000));
      s.sport = p.sport;
      s.dport = p.dport;
      s.flags = flags;
      out.emplace_back("ports " + std::to_string(p.sport) + ">" + std::to_string(p.dport) +
                           " flags " + std::to_string(flags),
                       s);
    }
  return out;
}

TEST(DecodeAllFilter, AgreesWithTheDecoderOnEveryChainShape) {
  const std::vector<Chain> all = chains();
  for (const Source& s : IPV6_SOURCES) {
    Comparison c(s, PORT);
    for (const Chain& chain : all)
      for (const auto& [name, seg] : segments(PORT)) {
        Seg framed = seg;
        framed.ip6_headers = chain.headers;
        framed.proto = chain.proto;
        const std::vector<uint8_t> frame = frame_of(s, framed);
        c.check(frame, frame.size(), chain.name + " " + name, true);
      }
    EXPECT_EQ(c.disagreements, 0u) << s.name << "\n" << c.report();
    // Both verdicts well represented, or agreeing means little.
    EXPECT_GT(c.passed, 1000u) << s.name;
    EXPECT_GT(c.frames - c.passed, 5000u) << s.name;
  }
}

// Several ports: each run of them is tested on both sides of the TCP header, every
// port on neither, behind every chain shape.
TEST(DecodeAllFilter, AgreesWithTheDecoderForPortSets) {
  const std::vector<Chain> all = chains();
  const struct {
    const char* name;
    PortSet ports;
    std::vector<uint16_t> segment_ports;
  } sets[] = {
      {"list", PortSet::of({80, 443}), {443, 81}},
      {"range", PortSet::of({8000, 8001, 8002, 8003, 9090}), {8000, 8003, 8004, 9090}},
      {"every port", PortSet::every_port(), {80}},
  };
  for (const auto& set : sets) {
    for (const Source& s : IPV6_SOURCES) {
      Comparison c(s, set.ports);
      for (const Chain& chain : all)
        for (uint16_t port : set.segment_ports)
          for (const auto& [name, seg] : segments(port)) {
            Seg framed = seg;
            framed.ip6_headers = chain.headers;
            framed.proto = chain.proto;
            const std::vector<uint8_t> frame = frame_of(s, framed);
            c.check(frame, frame.size(), chain.name + " " + name, true);
          }
      EXPECT_EQ(c.disagreements, 0u) << set.name << " " << s.name << "\n" << c.report();
      EXPECT_GT(c.passed, 1000u) << set.name << " " << s.name;
    }
  }
}

// Every cut of frames whose chains are short enough to cut everywhere: the decoder
// and the program both drop a frame whose chain or TCP header was not captured.
TEST(DecodeAllFilter, AgreesWithTheDecoderOnEveryCut) {
  Seg syn6 = as_ipv6(syn(1000));
  Seg rst6 = as_ipv6(server_rst(9000));
  const std::vector<std::pair<std::string, Seg>> cases = {{"syn", syn6}, {"server rst", rst6}};
  for (const Source& s : IPV6_SOURCES) {
    Comparison c(s, PORT);
    for (const Chain& chain : chains()) {
      size_t bytes = 0;
      for (const Ip6Header& h : chain.headers) bytes += h.bytes.size();
      if (bytes > 64) continue;
      for (const auto& [name, seg] : cases) {
        Seg framed = seg;
        framed.ip6_headers = chain.headers;
        framed.proto = chain.proto;
        c.check_cuts(frame_of(s, framed), chain.name + " " + name);
      }
    }
    EXPECT_EQ(c.disagreements, 0u) << s.name << "\n" << c.report();
    EXPECT_GT(c.passed, 50u) << s.name;
  }
}

// Seeded changes to the bytes both sides read: next headers and lengths set to the
// values that matter (the option types, 6, 44, the fragment's offset bits), ports and
// flags, and random cuts. The link header and the IP version are left alone: which
// family a frame is, is the other tests' business.
TEST(DecodeAllFilter, AgreesWithTheDecoderOnChangedChains) {
  std::mt19937_64 rng(20240917);
  const uint8_t telling[] = {0,  1,  2,  6,    7,    8,    17,   43,   44,   45,   51,
                             59, 60, 61, 0x50, 0x2c, 0x06, 0xff, 0xf8, 0x07, 0x08, 0x80};
  std::vector<Chain> short_chains;
  for (const Chain& chain : chains()) {
    size_t bytes = 0;
    for (const Ip6Header& h : chain.headers) bytes += h.bytes.size();
    if (bytes <= 64) short_chains.push_back(chain);
  }
  const auto segs = segments(PORT);
  for (const Source& s : IPV6_SOURCES) {
    Comparison c(s, PORT);
    const size_t ip = frame_of(s, as_ipv6(syn(1))).size() - 60;
    for (int i = 0; i < 20000; ++i) {
      const Chain& chain = short_chains[rng() % short_chains.size()];
      Seg framed = segs[rng() % segs.size()].second;
      framed.ip6_headers = chain.headers;
      framed.proto = chain.proto;
      std::vector<uint8_t> f = frame_of(s, framed);
      const int changes = 1 + static_cast<int>(rng() % 3);
      for (int k = 0; k < changes; ++k) {
        // Byte 6 of the IPv6 header, or anywhere in the chain and the TCP header.
        const size_t at = rng() % 4 == 0 ? ip + 6 : ip + 40 + rng() % (f.size() - ip - 40);
        f[at] = (rng() & 1) ? static_cast<uint8_t>(rng()) : telling[rng() % sizeof telling];
      }
      const size_t caplen = rng() % 3 == 0 ? rng() % (f.size() + 1) : f.size();
      c.check(f, caplen, "change " + std::to_string(i), false);
    }
    EXPECT_EQ(c.disagreements, 0u) << s.name << "\n" << c.report();
    EXPECT_GT(c.passed, 500u) << s.name;
  }
}

// The kernel takes at most 4096 instructions, and the program is compiled without
// optimisation. A live Ethernet capture on Linux compiles VLAN tests that read the
// tag from the packet's metadata, each load then also adding the tags' length: about
// a sixth longer than on a savefile (2887 against 2469 instructions on lo). Held
// under 3000 here, every link type's program fits the kernel with room for filter
// words; the live tests see the kernel take it on lo and on "any".
TEST(DecodeAllFilter, ProgramFitsTheKernelOnEveryLinkType) {
  const int LINK_TYPES[] = {DLT_EN10MB, DLT_NULL, DLT_LINUX_SLL, DLT_LINUX_SLL2,
                            DLT_RAW,    DLT_IPV4, DLT_IPV6};
  for (int dlt : LINK_TYPES) {
    ASSERT_TRUE(link_supported(dlt, true)) << dlt;
    for (uint16_t port : {uint16_t{1}, uint16_t{65535}}) {
      const CompiledFilter program(dlt, false, decode_all_filter_expression(port, {}, dlt));
      EXPECT_LT(program.length(), 3000u) << "link type " << dlt;
      EXPECT_GT(program.length(), 500u) << "link type " << dlt;  // the chains are in it
    }
  }
}

}  // namespace
