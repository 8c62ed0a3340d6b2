// The native capture filter against libpcap's own compiled program: the same
// frames, on savefile handles of every link type it knows and either byte order,
// must get the same verdict from pcap_offline_filter() and PortFilter::matches(),
// for the classic expression and for that of --decode-all.
#include "track/port_filter.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "testlib/capture_builder.h"
#include "testlib/compiled_filter.h"
#include "track/decode.h"

using namespace testlib;

namespace {

constexpr uint16_t PORT = 80;

// A link type and byte order as a savefile presents them to libpcap.
struct Source {
  const char* name;
  int dlt;
  bool swapped;  // written on a host of the other byte order
};

const Source SOURCES[] = {
    {"ethernet", DLT_EN10MB, false},
    {"ethernet-other-order", DLT_EN10MB, true},
    {"null", DLT_NULL, false},
    {"null-other-order", DLT_NULL, true},
};

// libpcap's program for the expression, compiled as a run compiles it: on the handle
// of a savefile of the source's link type and byte order, without optimisation.
class LibpcapProgram {
 public:
  LibpcapProgram(const Source& source, const PortSet& ports,
                 FilterExpression expression = FilterExpression::HANDSHAKE_AND_CLOSE)
      : file_(source.dlt, source.swapped),
        program_(file_.handle(), filter_text(expression, ports, source.dlt)) {}

  bool swapped() const { return pcap_is_swapped(file_.handle()) == 1; }
  bool matches(const uint8_t* frame, uint32_t caplen, uint32_t wire_len) const {
    return program_.passes(frame, caplen, wire_len);
  }

 private:
  EmptySavefile file_;
  CompiledFilter program_;
};

// Both checks for one source and port.
struct Pair {
  Pair(const Source& s, uint16_t port) : Pair(s, PortSet::of({port})) {}
  Pair(const Source& s, const PortSet& ports,
       FilterExpression expression = FilterExpression::HANDSHAKE_AND_CLOSE)
      : source(s),
        libpcap(s, ports, expression),
        native(*PortFilter::make(expression, ports, FilterSource{s.dlt, s.swapped})) {}
  const Source& source;
  LibpcapProgram libpcap;
  PortFilter native;
};

// Runs both checks on frames and counts verdicts and disagreements, keeping a few
// of the latter to show. Every frame is copied to the end of a heap block of its
// captured length, so that AddressSanitizer stops any read past it.
class Comparison {
 public:
  void check(const Pair& pair, const std::vector<uint8_t>& frame, uint32_t wire_len,
             const std::string& what) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[frame.size()]);
    std::copy(frame.begin(), frame.end(), block.get());
    check_at(pair, block.get(), frame.size(), wire_len, what);
  }
  // The frame and every shorter cut of it, each placed at the end of the block.
  void check_truncations(const Pair& pair, const std::vector<uint8_t>& frame,
                         const std::string& what) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[frame.size()]);
    for (size_t len = 0; len <= frame.size(); ++len) {
      uint8_t* start = block.get() + frame.size() - len;
      std::copy(frame.begin(), frame.begin() + static_cast<long>(len), start);
      check_at(pair, start, len, static_cast<uint32_t>(frame.size()), what);
    }
  }
  void check_at(const Pair& pair, const uint8_t* frame, size_t len, uint32_t wire_len,
                const std::string& what) {
    const uint32_t caplen = static_cast<uint32_t>(len);
    const bool expected = pair.libpcap.matches(frame, caplen, wire_len);
    const bool got = pair.native.matches(frame, caplen, wire_len);
    ++frames;
    if (expected) ++passed;
    if (expected == got) return;
    ++disagreements;
    if (shown.size() < 10) {
      std::string hex;
      char byte[4];
      for (size_t i = 0; i < len; ++i)
        std::snprintf(byte, sizeof byte, "%02x", frame[i]), hex += byte;
      shown.push_back(std::string(pair.source.name) + " " + what + ": libpcap " +
                      (expected ? "passes" : "drops") + " caplen " + std::to_string(caplen) + " " +
                      hex);
    }
  }
  std::string report() const {
    std::string r;
    for (const std::string& s : shown) r += s + "\n";
    return r;
  }

  uint64_t frames = 0, passed = 0, disagreements = 0;
  std::vector<std::string> shown;
};

void put16(std::vector<uint8_t>& f, size_t off, uint16_t v) {
  f[off] = static_cast<uint8_t>(v >> 8);
  f[off + 1] = static_cast<uint8_t>(v);
}

// The link header in front of a network packet of the given Ethernet type, as the
// source would have stored it: the DLT_NULL family in the file's byte order.
std::vector<uint8_t> link_header(const Source& s, uint16_t ethertype) {
  if (s.dlt == DLT_EN10MB) {
    std::vector<uint8_t> h(14, 0x02);
    put16(h, 12, ethertype);
    return h;
  }
  uint32_t family = ethertype == 0x0800 ? 2 : ethertype == 0x86dd ? 24 : ethertype;
  if (s.swapped) family = __builtin_bswap32(family);
  std::vector<uint8_t> h(4);
  std::memcpy(h.data(), &family, 4);
  return h;
}

// Replaces a frame's link header.
std::vector<uint8_t> relinked(const Source& s, const std::vector<uint8_t>& frame,
                              const std::vector<uint8_t>& link) {
  const size_t old = s.dlt == DLT_EN10MB ? 14 : 4;
  std::vector<uint8_t> f = link;
  f.insert(f.end(), frame.begin() + static_cast<long>(old), frame.end());
  return f;
}

std::vector<uint8_t> ipv4_frame(const Source& s, const Seg& seg) {
  return relinked(s, tcp_frame(s.dlt == DLT_EN10MB ? Link::ETHERNET : Link::LOOPBACK, seg),
                  link_header(s, 0x0800));
}

// An IPv6 packet with a TCP header after the fixed header (next header `next`), or
// after an 8-byte fragment header (next 44) that names TCP.
std::vector<uint8_t> ipv6_frame(const Source& s, uint32_t family, uint8_t next, uint16_t sport,
                                uint16_t dport, uint8_t flags) {
  std::vector<uint8_t> f = link_header(s, 0x86dd);
  if (s.dlt == DLT_NULL) {
    if (s.swapped) family = __builtin_bswap32(family);
    std::memcpy(f.data(), &family, 4);
  }
  const size_t ip = f.size();
  const size_t tcp = ip + 40 + (next == 44 ? 8 : 0);
  f.resize(tcp + 20, 0);
  f[ip] = 0x60;
  f[ip + 6] = next;
  if (next == 44) f[ip + 40] = 6;
  put16(f, tcp, sport);
  put16(f, tcp + 2, dport);
  f[tcp + 12] = 0x50;
  f[tcp + 13] = flags;
  return f;
}

constexpr uint8_t URG = 0x20;
const uint8_t SOME_FLAGS[] = {0,         FIN,       SYN,       RST, ACK,  SYN | ACK,
                              FIN | ACK, RST | ACK, PSH | ACK, URG, 0xf8, 0xff};

// The header variants of the table, for one source, each named.
std::vector<std::pair<std::string, std::vector<uint8_t>>> header_variants(const Source& s,
                                                                          uint16_t port) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
  const auto add = [&](std::string name, std::vector<uint8_t> frame) {
    out.emplace_back(std::move(name), std::move(frame));
  };
  // Port on either side, both, neither, and the port's bytes reversed.
  const struct {
    uint16_t sport, dport;
  } PORTS[] = {{port, 40000},
               {40000, port},
               {port, port},
               {40000, 40001},
               {__builtin_bswap16(port), __builtin_bswap16(port)}};

  // Every IHL value over 0, 1 and 10 words of real options, every side of the port,
  // a spread of flags.
  for (int ihl = 0; ihl <= 15; ++ihl)
    for (size_t opts : {0, 4, 40})
      for (const auto& p : PORTS)
        for (uint8_t flags : SOME_FLAGS) {
          Seg seg = syn(1);
          seg.ip_opts = opts;
          seg.ip_hl_bytes = ihl * 4;
          seg.sport = p.sport;
          seg.dport = p.dport;
          seg.flags = flags;
          seg.payload = 8;
          add("ihl " + std::to_string(ihl) + " opts " + std::to_string(opts) + " ports " +
                  std::to_string(p.sport) + ">" + std::to_string(p.dport) + " flags " +
                  std::to_string(flags),
              ipv4_frame(s, seg));
        }
  // The TCP fields the program reads written where each IHL puts them, even inside
  // the IPv4 header (IHL 0 to 4); the fields the program reads there (version and
  // IHL, fragment field, protocol) are written back over them, so that some
  // placements can pass and others cannot.
  const size_t link = s.dlt == DLT_EN10MB ? 14 : 4;
  for (int ihl = 0; ihl <= 15; ++ihl)
    for (bool on_source : {true, false})
      for (uint8_t flags : {SYN, ACK}) {
        Seg seg = syn(1);
        seg.ip_opts = ihl > 5 ? static_cast<size_t>(ihl - 5) * 4 : 0;
        seg.sport = seg.dport = 40000;
        std::vector<uint8_t> f = ipv4_frame(s, seg);
        const size_t tcp = link + static_cast<size_t>(ihl) * 4;
        put16(f, tcp + (on_source ? 0 : 2), port);
        f[tcp + 13] = flags;
        f[link] = static_cast<uint8_t>(0x40 | ihl);
        put16(f, link + 6, 0);
        f[link + 9] = 6;
        add("tcp at ihl " + std::to_string(ihl) + (on_source ? " source" : " destination") +
                " flags " + std::to_string(flags),
            std::move(f));
      }
  // Every flag combination, on either side of the port.
  for (int flags = 0; flags < 256; ++flags)
    for (const auto& p : PORTS) {
      Seg seg = syn(1);
      seg.sport = p.sport;
      seg.dport = p.dport;
      seg.flags = static_cast<uint8_t>(flags);
      add("flags " + std::to_string(flags) + " ports " + std::to_string(p.sport) + ">" +
              std::to_string(p.dport),
          ipv4_frame(s, seg));
    }
  // Protocols, fragments (MF, DF, offsets) and TCP data offsets.
  for (uint8_t proto : {6, 17, 0, 0x86})
    for (uint16_t frag : {0x0000, 0x2000, 0x4000, 0x0001, 0x1fff, 0x2001, 0x8000, 0xffff})
      for (int tcp_off : {0, 4, 20, 24, 60})
        for (uint8_t flags : {SYN, ACK}) {
          Seg seg = syn(1);
          seg.proto = proto;
          seg.tcp_off_bytes = tcp_off;
          seg.tcp_opts = 4;
          seg.flags = flags;
          std::vector<uint8_t> f = ipv4_frame(s, seg);
          put16(f, (s.dlt == DLT_EN10MB ? 14 : 4) + 6, frag);
          add("proto " + std::to_string(proto) + " frag " + std::to_string(frag) + " tcp off " +
                  std::to_string(tcp_off) + " flags " + std::to_string(flags),
              std::move(f));
        }
  // IPv6: TCP directly or behind a fragment header, other next headers, the port on
  // either side; on DLT_NULL every family value anyone uses for IPv6.
  const std::vector<uint32_t> families =
      s.dlt == DLT_NULL ? std::vector<uint32_t>{10, 24, 28, 30} : std::vector<uint32_t>{0};
  for (uint32_t family : families)
    for (uint8_t next : {6, 17, 44})
      for (const auto& p : PORTS)
        for (uint8_t flags : {SYN, ACK})
          add("ipv6 family " + std::to_string(family) + " next " + std::to_string(next) +
                  " ports " + std::to_string(p.sport) + ">" + std::to_string(p.dport),
              ipv6_frame(s, family, next, p.sport, p.dport, flags));
  // Other network types: on Ethernet other types, on DLT_NULL other families,
  // among them AF_INET in the wrong byte order.
  const Seg good = syn(1);
  const std::vector<uint8_t> v4 = ipv4_frame(s, good);
  if (s.dlt == DLT_EN10MB) {
    for (uint16_t type : {0x0806, 0x8100, 0x86dd, 0x0000, 0x0801, 0x0008})
      add("ethertype " + std::to_string(type), relinked(s, v4, link_header(s, type)));
  } else {
    for (uint32_t family : {0u, 1u, 10u, 24u, 0x02000000u, 0x00020000u, 0xffffffffu}) {
      std::vector<uint8_t> f = v4;
      std::memcpy(f.data(), &family, 4);
      add("family bytes " + std::to_string(family), std::move(f));
    }
  }
  add("udp", relinked(s,
                      udp_frame(s.dlt == DLT_EN10MB ? Link::ETHERNET : Link::LOOPBACK, "10.0.0.1",
                                "10.0.0.2", port, 53),
                      link_header(s, 0x0800)));
  return out;
}

TEST(PortFilter, TheLinkTypesItKnows) {
  for (const Source& s : SOURCES)
    EXPECT_TRUE(PortFilter::make(FilterExpression::HANDSHAKE_AND_CLOSE, PORT,
                                 FilterSource{s.dlt, s.swapped}))
        << s.name;
  // The classic expression on Linux cooked captures, raw IP, 802.11: libpcap's
  // program stays in charge.
  for (int dlt : {DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW, DLT_IPV4, DLT_IPV6, DLT_IEEE802_11, -1})
    EXPECT_FALSE(
        PortFilter::make(FilterExpression::HANDSHAKE_AND_CLOSE, PORT, FilterSource{dlt, false}))
        << dlt;
  // That of --decode-all on every link type the decoder reads with it, and no other.
  for (int dlt : {DLT_EN10MB, DLT_NULL, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW, DLT_IPV4,
                  DLT_IPV6, DLT_IEEE802_11, DLT_LOOP, -1})
    EXPECT_EQ(PortFilter::make(FilterExpression::EVERY_FRAMING, PORT, FilterSource{dlt, false})
                  .has_value(),
              link_supported(dlt, true))
        << dlt;
}

TEST(PortFilter, OpensSavefilesOfEitherOrder) {
  for (const Source& s : SOURCES)
    EXPECT_EQ(LibpcapProgram(s, PortSet::of({PORT})).swapped(), s.swapped) << s.name;
}

TEST(PortFilter, AgreesWithLibpcapOnEveryHeaderVariantAndEveryCut) {
  for (const Source& s : SOURCES) {
    const Pair pair(s, PORT);
    Comparison c;
    for (const auto& [name, frame] : header_variants(s, PORT))
      c.check_truncations(pair, frame, name);
    EXPECT_EQ(c.disagreements, 0u) << s.name << "\n" << c.report();
    // The table must exercise both verdicts well, or agreeing means little.
    EXPECT_GT(c.passed, 1000u) << s.name;
    EXPECT_GT(c.frames - c.passed, 100000u) << s.name;
  }
}

// Several ports (a list, ranges, every port): the table's frames built on a port in
// the set, at a range's ends and just outside it, and on a port the set lacks.
TEST(PortFilter, AgreesWithLibpcapForPortSets) {
  const struct {
    const char* name;
    PortSet ports;
    std::vector<uint16_t> frame_ports;  // the port the variants are built on
  } sets[] = {
      {"list", PortSet::of({80, 443}), {443, 81}},
      {"ranges", PortSet::of({8000, 8001, 8002, 8003, 8004, 8005, 8006, 8007, 8008, 8009, 8010, 9090}),
       {8000, 8010, 8011, 7999, 9090}},
      {"every port", PortSet::every_port(), {80, 0}},
  };
  for (const auto& set : sets) {
    for (const Source& s : SOURCES) {
      const Pair pair(s, set.ports);
      Comparison c;
      for (uint16_t port : set.frame_ports)
        for (const auto& [name, frame] : header_variants(s, port))
          c.check_truncations(pair, frame, name + " on port " + std::to_string(port));
      EXPECT_EQ(c.disagreements, 0u) << set.name << " " << s.name << "\n" << c.report();
      EXPECT_GT(c.passed, 1000u) << set.name << " " << s.name;
      EXPECT_GT(c.frames - c.passed, 100000u) << set.name << " " << s.name;
    }
  }
}

TEST(PortFilter, TextOfPortSets) {
  const std::string flags = "((tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0)";
  EXPECT_EQ(filter_text(FilterExpression::HANDSHAKE_AND_CLOSE, PortSet::of({80})),
            "(tcp port 80)&&" + flags);
  EXPECT_EQ(filter_text(FilterExpression::HANDSHAKE_AND_CLOSE,
                        PortSet::of({8000, 443, 8002, 80, 8001})),
            "((tcp port 80)||(tcp port 443)||(tcp portrange 8000-8002))&&" + flags);
  EXPECT_EQ(filter_text(FilterExpression::HANDSHAKE_AND_CLOSE, PortSet::every_port()),
            "(tcp)&&" + flags);
}

// Seeded mutations of the table's frames: bytes in the headers set to random or
// telling values (the port's bytes, Ethernet types, families, protocol numbers),
// random cuts, and ports whose bytes also occur in the headers.
TEST(PortFilter, AgreesWithLibpcapOnMutatedFrames) {
  std::mt19937_64 rng(20240611);
  const uint16_t ports[] = {PORT, 0x4500, 0x0800, 0};
  constexpr int FRAMES_PER_PAIR = 25000;
  for (const Source& s : SOURCES) {
    for (uint16_t port : ports) {
      const auto variants = header_variants(s, port);
      const Pair pair(s, port);
      const uint8_t telling[] = {static_cast<uint8_t>(port >> 8),
                                 static_cast<uint8_t>(port),
                                 0x08,
                                 0x00,
                                 0x86,
                                 0xdd,
                                 0x45,
                                 0x06,
                                 0x02,
                                 0x0a,
                                 0x18,
                                 0x2c,
                                 0x1f,
                                 0xff,
                                 0x20};
      Comparison c;
      for (int i = 0; i < FRAMES_PER_PAIR; ++i) {
        std::vector<uint8_t> f = variants[rng() % variants.size()].second;
        const int changes = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < changes && !f.empty(); ++k) {
          const size_t at = rng() % std::min<size_t>(f.size(), 80);
          f[at] = (rng() & 1) ? static_cast<uint8_t>(rng()) : telling[rng() % sizeof telling];
        }
        if (rng() % 3 == 0) f.resize(rng() % (f.size() + 1));
        const uint32_t wire_len = static_cast<uint32_t>(f.size() + rng() % 3 * 700);
        c.check(pair, f, wire_len, "mutation " + std::to_string(i));
      }
      EXPECT_EQ(c.disagreements, 0u) << s.name << " port " << port << "\n" << c.report();
      EXPECT_GT(c.passed, 1000u) << s.name << " port " << port;
    }
  }
}

}  // namespace

namespace {

// The framings --decode-all reads, each as a savefile presents it and as the test
// builds its frames: the link, the VLAN tags in front (Ethernet), the AF_INET6 value
// the capturing host wrote (DLT_NULL). Three tags are one more than the text reads.
struct Framing {
  Source source;
  Link link;
  std::vector<uint16_t> tags;
  uint32_t inet6_family = 0;
};

const Framing FRAMINGS[] = {
    {{"ethernet", DLT_EN10MB, false}, Link::ETHERNET, {}},
    {{"ethernet-other-order", DLT_EN10MB, true}, Link::ETHERNET, {}},
    {{"dot1q", DLT_EN10MB, false}, Link::ETHERNET, {0x8100}},
    {{"dot1ad", DLT_EN10MB, false}, Link::ETHERNET, {0x88a8}},
    {{"qinq", DLT_EN10MB, true}, Link::ETHERNET, {0x88a8, 0x8100}},
    {{"qinq-9100", DLT_EN10MB, false}, Link::ETHERNET, {0x9100, 0x9100}},
    {{"three-tags", DLT_EN10MB, false}, Link::ETHERNET, {0x8100, 0x8100, 0x8100}},
    {{"null-bsd", DLT_NULL, false}, Link::LOOPBACK, {}, 24},
    {{"null-freebsd-other-order", DLT_NULL, true}, Link::LOOPBACK, {}, 28},
    {{"null-mac", DLT_NULL, false}, Link::LOOPBACK, {}, 30},
    {{"null-linux-inet6", DLT_NULL, false}, Link::LOOPBACK, {}, 10},
    {{"cooked", DLT_LINUX_SLL, false}, Link::COOKED, {}},
    {{"cooked2", DLT_LINUX_SLL2, true}, Link::COOKED2, {}},
    {{"raw", DLT_RAW, false}, Link::RAW, {}},
    {{"ipv4", DLT_IPV4, false}, Link::RAW, {}},
    {{"ipv6", DLT_IPV6, false}, Link::RAW, {}},
};

std::vector<uint8_t> framed(const Framing& f, Seg seg) {
  const bool v6 = seg.src.find(':') != std::string::npos;
  seg.vlan_tags = f.tags;
  std::vector<uint8_t> frame = tcp_frame(f.link, seg);
  if (f.source.dlt == DLT_NULL) {
    uint32_t family = v6 ? f.inet6_family : 2;
    if (f.source.swapped) family = __builtin_bswap32(family);
    std::memcpy(frame.data(), &family, 4);
  }
  return frame;
}

// IPv4 and IPv6 variants of a segment of `port` in one framing: both sides of the
// port and neither, flags in and out, IPv4 header lengths, protocols and fragments,
// IPv6 chains the text reads and chains it does not.
std::vector<std::pair<std::string, std::vector<uint8_t>>> framing_variants(const Framing& f,
                                                                           uint16_t port) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
  const struct {
    uint16_t sport, dport;
  } PORTS[] = {{port, 40000}, {40000, port}, {40000, 40001}, {__builtin_bswap16(port), 1}};
  const uint8_t FLAGS[] = {SYN, FIN | ACK, RST, ACK, 0xf8};
  for (const auto& p : PORTS)
    for (uint8_t flags : FLAGS) {
      Seg seg = syn(1);
      seg.sport = p.sport, seg.dport = p.dport, seg.flags = flags;
      const std::string what = std::to_string(p.sport) + ">" + std::to_string(p.dport) +
                               " flags " + std::to_string(flags);
      for (int ihl : {0, 4, 5, 7, 15})
        for (uint16_t frag : {0x0000, 0x4000, 0x0001}) {
          Seg v4 = seg;
          v4.ip_opts = 8;
          v4.ip_hl_bytes = ihl * 4;
          std::vector<uint8_t> frame = framed(f, v4);
          const size_t ip = frame.size() - 20 - 8 - 20;  // before its options and TCP
          frame[ip + 6] = static_cast<uint8_t>(frag >> 8), frame[ip + 7] = static_cast<uint8_t>(frag);
          out.emplace_back("ipv4 ihl " + std::to_string(ihl) + " frag " + std::to_string(frag) +
                               " " + what,
                           std::move(frame));
        }
      Seg udp = seg;
      udp.proto = 17;
      out.emplace_back("ipv4 proto 17 " + what, framed(f, udp));
      const std::vector<std::pair<std::string, std::vector<Ip6Header>>> chains = {
          {"none", {}},
          {"first fragment", {fragment_header(0)}},
          {"later fragment", {fragment_header(185)}},
          {"0/0", {option_header(0, 0)}},
          {"43/1 fragment", {option_header(43, 1), fragment_header(0, false)}},
          {"60/0 0/2", {option_header(60, 0), option_header(0, 2)}},
          {"0/0 60/0 fragment", {option_header(0, 0), option_header(60, 0), fragment_header(0)}},
          {"0/0 43/0 60/0", {option_header(0, 0), option_header(43, 0), option_header(60, 0)}},
          {"fragment 60/0", {fragment_header(0), option_header(60, 0)}},
          {"header 51", {Ip6Header{51, std::vector<uint8_t>(16, 0)}}},
      };
      for (const auto& [name, chain] : chains)
        for (uint8_t proto : {6, 17}) {
          Seg v6 = as_ipv6(seg);
          v6.ip6_headers = chain;
          v6.proto = proto;
          out.emplace_back("ipv6 " + name + " then " + std::to_string(proto) + " " + what,
                           framed(f, v6));
        }
    }
  return out;
}

// --decode-all's expression in every framing: every variant and every cut of it.
TEST(PortFilter, AgreesWithLibpcapInEveryFramingOnEveryCut) {
  const struct {
    const char* name;
    PortSet ports;
    std::vector<uint16_t> frame_ports;
  } sets[] = {
      {"one port", PortSet::of({PORT}), {PORT}},
      {"ranges", PortSet::of({80, 8000, 8001, 8002, 8003}), {8000, 8003, 8004}},
      {"every port", PortSet::every_port(), {PORT}},
  };
  for (const auto& set : sets)
    for (const Framing& f : FRAMINGS) {
      const Pair pair(f.source, set.ports, FilterExpression::EVERY_FRAMING);
      Comparison c;
      for (uint16_t port : set.frame_ports)
        for (const auto& [name, frame] : framing_variants(f, port))
          c.check_truncations(pair, frame, name + " on port " + std::to_string(port));
      EXPECT_EQ(c.disagreements, 0u) << set.name << " " << f.source.name << "\n" << c.report();
      // Both verdicts, well represented, except where the framing carries nothing
      // the text reads.
      const bool readable = f.tags.size() <= 2 && f.inet6_family != 10;
      if (readable) {
        EXPECT_GT(c.passed, 50u) << set.name << " " << f.source.name;
      }
      EXPECT_GT(c.frames - c.passed, 10000u) << set.name << " " << f.source.name;
    }
}

// Seeded changes to the framings' variants: link types, tags, families, versions,
// next headers, lengths, ports and flags set to random or telling values, and random
// cuts.
TEST(PortFilter, AgreesWithLibpcapInEveryFramingOnMutatedFrames) {
  std::mt19937_64 rng(20250301);
  const uint8_t telling[] = {0x00, 0x50, 0x08, 0x86, 0xdd, 0x81, 0x88, 0xa8, 0x91, 0x45,
                             0x4f, 0x60, 0x06, 0x02, 0x18, 0x1c, 0x1e, 0x2c, 0x2b, 0x3c,
                             0x07, 0x11, 0x1f, 0xf8, 0xff, 0x01};
  for (const Framing& f : FRAMINGS) {
    const Pair pair(f.source, PortSet::of({PORT}), FilterExpression::EVERY_FRAMING);
    const auto variants = framing_variants(f, PORT);
    Comparison c;
    for (int i = 0; i < 20000; ++i) {
      std::vector<uint8_t> frame = variants[rng() % variants.size()].second;
      for (int k = 1 + static_cast<int>(rng() % 4); k > 0 && !frame.empty(); --k)
        frame[rng() % std::min<size_t>(frame.size(), 110)] =
            (rng() & 1) ? static_cast<uint8_t>(rng()) : telling[rng() % sizeof telling];
      if (rng() % 3 == 0) frame.resize(rng() % (frame.size() + 1));
      c.check(pair, frame, static_cast<uint32_t>(frame.size()), "mutation " + std::to_string(i));
    }
    EXPECT_EQ(c.disagreements, 0u) << f.source.name << "\n" << c.report();
    if (f.tags.size() <= 2 && f.inet6_family != 10) {
      EXPECT_GT(c.passed, 150u) << f.source.name;
    }
  }
}

}  // namespace
