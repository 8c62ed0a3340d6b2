#include "fuzz/fuzz_seeds.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "testlib/compress.h"

namespace fuzz {

using testlib::ACK;
using testlib::at;
using testlib::FIN;
using testlib::Link;
using testlib::Packet;
using testlib::RST;
using testlib::Seg;
using testlib::SYN;

namespace {

constexpr int64_t T0 = 1000000000;

Seg seg(uint16_t client_port, bool from_client, uint8_t flags, uint32_t seq, uint32_t ack,
        size_t payload = 0) {
  Seg s;
  s.src = from_client ? "10.0.0.1" : "10.0.0.2";
  s.dst = from_client ? "10.0.0.2" : "10.0.0.1";
  s.sport = from_client ? client_port : 80;
  s.dport = from_client ? 80 : client_port;
  s.flags = flags;
  s.seq = seq;
  s.ack = ack;
  s.payload = payload;
  return s;
}

// One complete connection: 501 and 3001 bytes, 250 ms, answered after 40 ms.
std::vector<Packet> worked(Link link = Link::ETHERNET) {
  return {
      at(T0, 0, testlib::syn(1000), link),
      at(T0, 3500, testlib::synack(9000, 1001), link),
      at(T0, 250700, testlib::client_fin(1501, 12001), link),
      at(T0, 290700, testlib::server_fin(12001, 1502), link),
  };
}

// The packets' segments again over IPv6, behind these VLAN tags on Ethernet.
std::vector<Packet> over_ipv6(const std::vector<Packet>& packets, Link link,
                              const std::vector<uint16_t>& tags = {}) {
  std::vector<Packet> out;
  for (const Packet& p : packets) {
    // Read back what the IPv4 frame says, and build the IPv6 one.
    const std::vector<uint8_t>& f = p.data;
    if (f.size() < 14 + 20 + 14 || f[12] != 0x08 || f[13] != 0x00) continue;
    const size_t tcp = 14 + (f[14] & 0x0f) * 4u;
    if (f.size() < tcp + 14) continue;
    auto be16 = [&](size_t at) { return static_cast<uint16_t>(f[at] << 8 | f[at + 1]); };
    auto be32 = [&](size_t at) { return static_cast<uint32_t>(be16(at)) << 16 | be16(at + 2); };
    Seg s;
    char text[32];
    std::snprintf(text, sizeof text, "2001:db8::%x", f[14 + 15]);
    s.src = text;
    std::snprintf(text, sizeof text, "2001:db8::%x", f[14 + 19]);
    s.dst = text;
    s.sport = be16(tcp);
    s.dport = be16(tcp + 2);
    s.seq = be32(tcp + 4);
    s.ack = be32(tcp + 8);
    s.flags = f[tcp + 13];
    s.payload = be16(16) - (tcp - 14) - (f[tcp + 12] >> 4) * 4u;
    s.vlan_tags = tags;
    Packet q = at(p.sec, p.usec, s, link);
    out.push_back(q);
  }
  return out;
}

// Every path through the tracker: repeated SYNs and SYN-ACKs, a server that closes
// first, a FIN with data, resets in every state, an unanswered SYN, port reuse with
// a matching and a mismatching SYN-ACK, and a connection left closing.
std::vector<Packet> mixed() {
  return {
      at(T0, 0, seg(4000, true, SYN, 100, 0)),
      at(T0, 1000, seg(4000, true, SYN, 100, 0)),
      at(T0, 2000, seg(4000, false, SYN | ACK, 700, 101)),
      at(T0, 3000, seg(4000, false, SYN | ACK, 700, 101)),
      at(T0, 10000, seg(4001, true, SYN, 200, 0)),
      at(T0, 11000, seg(4001, false, SYN | ACK, 800, 201)),
      at(T0, 20000, seg(4001, false, FIN | ACK, 50801, 2201)),
      at(T0, 21000, seg(4001, true, FIN | ACK, 2201, 50802, 100)),
      at(T0, 30000, seg(4002, true, SYN, 300, 0)),
      at(T0, 31000, seg(4002, true, RST, 301, 0)),
      at(T0, 40000, seg(4003, true, SYN, 400, 0)),
      at(T0, 41000, seg(4003, false, SYN | ACK, 900, 401)),
      at(T0, 42000, seg(4003, true, FIN | ACK, 501, 1000)),
      at(T0, 43000, seg(4003, true, FIN | ACK, 501, 1000)),
      at(T0, 44000, seg(4003, false, RST, 1000, 0)),
      at(T0, 50000, seg(4004, true, SYN, 500, 0)),
      at(T0, 51000, seg(4004, false, SYN | ACK, 1000, 501)),
      at(T0, 52017, seg(4004, true, SYN, 5000, 0)),
      at(T0, 53000, seg(4004, false, SYN | ACK, 1000, 7001)),
      at(T0, 54000, seg(4004, false, SYN | ACK, 3000, 5001)),
      at(T0 + 1, 0, seg(4004, true, FIN | ACK, 6001, 4001)),
      at(T0 + 1, 1000, seg(4005, true, SYN, 600, 0)),
      at(T0 + 1, 2000, seg(4006, true, SYN, 700, 0)),
      at(T0 + 1, 3000, seg(4006, false, SYN | ACK, 1100, 701)),
      at(T0 + 1, 4000, seg(4006, false, FIN | ACK, 90001, 1701)),
      at(T0 + 1, 5000, seg(4006, false, SYN | ACK, 1100, 701)),
      at(T0 + 1, 6000, seg(4006, false, RST, 1100, 0)),
  };
}

// Frames --decode-all must drop or read with care: IPv6 and tagged frames cut at
// every boundary, too many tags, TCP behind extension headers (read or not), a
// payload length shorter than the TCP header.
std::vector<Packet> wide_oddities(Link link) {
  std::vector<Packet> p;
  Seg v6 = testlib::as_ipv6(seg(5000, true, SYN, 1, 0));
  if (link == Link::ETHERNET) v6.vlan_tags = {0x88a8, 0x8100};
  const std::vector<uint8_t> full = testlib::tcp_frame(link, v6);
  for (size_t cut : {size_t{0}, size_t{3}, size_t{15}, size_t{19}, size_t{21}, size_t{40},
                     size_t{61}, size_t{70}, full.size() - 1})
    if (cut < full.size())
      p.push_back(at(T0, 10 + static_cast<int64_t>(cut),
                     std::vector<uint8_t>(full.begin(), full.begin() + cut)));
  Seg deep = seg(5001, true, SYN, 1, 0);
  deep.vlan_tags = {0x8100, 0x8100, 0x8100};
  p.push_back(at(T0, 100, deep, link));
  // Behind extension headers: a chain read (Hop-by-Hop, Destination Options, a first
  // fragment), a chain one header too deep, a later fragment.
  Seg hop = testlib::as_ipv6(seg(5002, true, SYN, 1, 0));
  hop.ip6_headers = {testlib::option_header(0), testlib::option_header(60, 1),
                     testlib::fragment_header(0)};
  p.push_back(at(T0, 101, hop, link));
  Seg deep_chain = hop;
  deep_chain.ip6_headers = {testlib::option_header(0), testlib::option_header(43, 2),
                            testlib::option_header(60)};
  p.push_back(at(T0, 101, deep_chain, link));
  Seg later = hop;
  later.ip6_headers = {testlib::option_header(60), testlib::fragment_header(1)};
  p.push_back(at(T0, 101, later, link));
  p.push_back(at(T0, 102, testlib::as_ipv6(seg(5003, true, SYN, 1, 0)), link));
  p.push_back(at(T0, 103, testlib::as_ipv6(seg(5003, false, SYN | ACK, 9, 2)), link));
  Seg short_fin = testlib::as_ipv6(seg(5003, true, FIN | ACK, 2, 10));
  short_fin.ip_total_len = 50;
  p.push_back(at(T0, 104, short_fin, link));
  return p;
}

// Frames the decoder must drop or read with care: other link contents, truncation,
// header lengths at both ends, total lengths shorter than the headers.
std::vector<Packet> oddities(Link link) {
  std::vector<Packet> p;
  if (link == Link::ETHERNET) {
    p.push_back(at(T0, 0, testlib::arp_frame()));
    p.push_back(at(T0, 1, testlib::ipv6_frame()));
    p.push_back(at(T0, 2, testlib::vlan_frame(testlib::syn(1))));
  }
  p.push_back(at(T0, 3, testlib::udp_frame(link, "10.0.0.1", "10.0.0.2", 5555, 80)));
  std::vector<uint8_t> full = testlib::tcp_frame(link, testlib::syn(2));
  for (size_t cut : {size_t{0}, size_t{3}, size_t{13}, size_t{30}, full.size() - 1})
    p.push_back(at(T0, 10 + static_cast<int64_t>(cut),
                   std::vector<uint8_t>(full.begin(), full.begin() + cut)));
  for (int ip_hl : {0, 16, 24, 60}) {
    Seg s = seg(5000, true, SYN, 1, 0);
    s.ip_hl_bytes = ip_hl;
    p.push_back(at(T0, 100 + ip_hl, s, link));
  }
  for (int off : {0, 16, 24, 60}) {
    Seg s = seg(5001, true, SYN, 1, 0);
    s.tcp_off_bytes = off;
    p.push_back(at(T0, 200 + off, s, link));
  }
  Seg opts = seg(5002, true, SYN, 1, 0);
  opts.ip_opts = 40;
  opts.tcp_opts = 40;
  p.push_back(at(T0, 300, opts, link));
  p.push_back(at(T0, 301, seg(5002, false, SYN | ACK, 9, 2), link));
  Seg short_fin = seg(5002, true, FIN | ACK, 2, 10);
  short_fin.ip_total_len = 10;
  p.push_back(at(T0, 302, short_fin, link));
  Packet snapped = at(T0, 303, seg(5002, false, FIN | ACK, 10, 2, 500), link);
  snapped.wire_len = static_cast<uint32_t>(snapped.data.size());
  snapped.data.resize(snapped.data.size() - 500);
  p.push_back(snapped);
  return p;
}

// Time that runs backwards within the window and beyond it, and jumps by years.
std::vector<Packet> time_jumps() {
  const int64_t year = int64_t{1} << 25;
  return {
      at(T0, 900000, seg(4000, true, SYN, 100, 0)),
      at(T0, 950000, seg(4000, false, SYN | ACK, 700, 101)),
      at(T0, 200000, seg(4000, true, FIN | ACK, 201, 801)),
      at(T0 - 3, 0, seg(4001, true, SYN, 100, 0)),
      at(T0 + 1, 0, seg(4002, true, SYN, 100, 0)),
      at(T0 + 1, 500, seg(4002, false, SYN | ACK, 700, 101)),
      at(T0 + 1 + 3 * year, 0, seg(4002, true, FIN | ACK, 201, 801)),
      at(T0 + 1 + 3 * year, 1000, seg(4002, false, FIN | ACK, 801, 202)),
  };
}

// Enough packets for several status lines at -m 1000 (one every 100 packets).
std::vector<Packet> busy() {
  std::vector<Packet> p;
  for (int i = 0; i < 120; ++i) {
    const uint16_t port = static_cast<uint16_t>(6000 + i % 40);
    const int64_t t = i * 20000;
    if (i < 40)
      p.push_back(at(T0 + t / 1000000, t % 1000000, seg(port, true, SYN, 100, 0)));
    else if (i < 80)
      p.push_back(at(T0 + t / 1000000, t % 1000000, seg(port, false, SYN | ACK, 9, 101)));
    else
      p.push_back(at(T0 + t / 1000000, t % 1000000, seg(port, true, FIN | ACK, 101 + i, 10)));
  }
  return p;
}

SettingsBytes settings(uint8_t b0, uint8_t b1 = 0, uint8_t b2 = 0, uint8_t b3 = 0, uint8_t b4 = 0,
                       uint8_t b5 = 0, uint8_t b6 = 0, uint8_t b7 = 0) {
  return {b0, b1, b2, b3, b4, b5, b6, b7};
}

// Settings byte 0: --decode-all, live, -d levels, -R, -T and the orderings.
constexpr uint8_t WIDE = 0x01, LIVE = 0x02, D1 = 0x04, D2 = 0x08, RAW = 0x10, RTT = 0x20;
constexpr uint8_t BY_THROUGHPUT = 0x40, BY_CLIENT = 0x80, BY_SERVER = 0xc0;

// The frames input's link byte (LINK_TYPES).
constexpr uint8_t ON_ETHERNET = 0, ON_LOOPBACK = 1, ON_COOKED = 2, ON_COOKED2 = 3, ON_RAW = 4;

struct Preset {
  const char* name;
  SettingsBytes bytes;
};

const Preset PRESETS[] = {
    {"plain", settings(0)},
    {"debug2", settings(D2)},
    {"rtt_throughput", settings(RTT | BY_THROUGHPUT, 5, 2, 0x24)},  // -n 8 -s 2 -D 20 -c 2
    {"client_window", settings(BY_CLIENT | RAW, 0, 1, 0x02, 0, 0x08, 0x06)},
    {"server_window", settings(BY_SERVER, 0, 4, 0x06, 0, 0x90, 0x40)},
    {"brief", settings(D1, 0, 0, 0x20, 1)},
    {"open_status", settings(0, 0, 0, 0, 3)},
    {"live_since", settings(LIVE | RTT, 0, 0, 0, 4, 0, 0, 2)},
    {"dated_since_raw", settings(RAW, 2, 9, 0x05, 0, 0, 0, 5)},
};

// --decode-all with the listings that print addresses: -D with -c, the open listing
// with its status lines, the traces.
const Preset WIDE_PRESETS[] = {
    {"wide_plain", settings(WIDE)},
    {"wide_debug2", settings(WIDE | D2)},
    {"wide_filters", settings(WIDE | RTT, 0, 0, 0x21)},  // -D 0 -c 1
    {"wide_open_status", settings(WIDE, 0, 0, 0, 3)},
    {"wide_live", settings(WIDE | LIVE | D1)},
};

void append_byte(std::vector<uint8_t>& b, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> nanoseconds(std::vector<uint8_t> b) {
  const uint32_t magic = 0xa1b23c4d;
  std::memcpy(&b[0], &magic, 4);
  for (size_t off = 24; off + 16 <= b.size();) {
    uint32_t usec, caplen;
    std::memcpy(&usec, &b[off + 4], 4);
    std::memcpy(&caplen, &b[off + 8], 4);
    usec *= 1000;
    std::memcpy(&b[off + 4], &usec, 4);
    off += 16 + caplen;
  }
  return b;
}

}  // namespace

std::vector<uint8_t> frames_input(const SettingsBytes& s, const std::vector<Packet>& packets,
                                  uint8_t link_byte) {
  std::vector<uint8_t> b(s.begin(), s.end());
  b.push_back(link_byte);
  int64_t sec = packets.empty() ? T0 : packets.front().sec;
  append_byte(b, static_cast<uint32_t>(sec), 4);
  for (const Packet& p : packets) {
    int64_t step = p.sec - sec;
    uint8_t control = 0;
    if (step < -128 || step > 127) {
      if (step % (int64_t{1} << 25) != 0) throw std::invalid_argument("step out of range");
      step >>= 25;
      control |= 0x80;
    }
    sec = p.sec;
    if (p.usec < 0) control |= 0x10;
    if (p.wire_len != 0 && p.wire_len < p.data.size()) control |= 0x40;
    if (p.wire_len > p.data.size()) control |= 0x20;
    append_byte(b, static_cast<uint32_t>(p.data.size()), 2);
    b.push_back(static_cast<uint8_t>(static_cast<int8_t>(step)));
    b.push_back(control);
    append_byte(b, static_cast<uint32_t>((p.usec < 0 ? -p.usec : p.usec) / 16), 2);
    b.insert(b.end(), p.data.begin(), p.data.end());
  }
  return b;
}

std::vector<uint8_t> savefile_input(const SettingsBytes& s, const std::vector<Packet>& packets,
                                    Link link) {
  std::vector<uint8_t> b = testlib::pcap_bytes(packets, link);
  std::copy(s.begin(), s.end(), b.begin() + 8);
  return b;
}

std::vector<Seed> frame_seeds() {
  std::vector<Seed> seeds;
  for (const Preset& preset : PRESETS) {
    const std::string n = preset.name;
    seeds.push_back({n + "_worked", frames_input(preset.bytes, worked())});
    seeds.push_back({n + "_mixed", frames_input(preset.bytes, mixed())});
  }
  const SettingsBytes debug = PRESETS[1].bytes;
  seeds.push_back({"loopback_worked", frames_input(debug, worked(Link::LOOPBACK), ON_LOOPBACK)});
  seeds.push_back(
      {"loopback_oddities", frames_input(debug, oddities(Link::LOOPBACK), ON_LOOPBACK)});
  seeds.push_back({"oddities", frames_input(debug, oddities(Link::ETHERNET))});
  seeds.push_back({"time_jumps", frames_input(debug, time_jumps())});
  seeds.push_back({"busy_status", frames_input(PRESETS[6].bytes, busy())});
  // --decode-all: both families on every link type it reads.
  const struct {
    const char* name;
    Link link;
    uint8_t link_byte;
    std::vector<uint16_t> tags;
  } links[] = {
      {"qinq", Link::ETHERNET, ON_ETHERNET, {0x88a8, 0x8100}},
      {"cooked", Link::COOKED, ON_COOKED, {}},
      {"cooked2", Link::COOKED2, ON_COOKED2, {}},
      {"raw", Link::RAW, ON_RAW, {}},
      {"loopback", Link::LOOPBACK, ON_LOOPBACK, {}},
  };
  for (const Preset& preset : WIDE_PRESETS) {
    const std::string n = preset.name;
    for (const auto& l : links)
      seeds.push_back(
          {n + "_" + l.name + "_ipv6_mixed",
           frames_input(preset.bytes, over_ipv6(mixed(), l.link, l.tags), l.link_byte)});
  }
  for (const auto& l : links)
    seeds.push_back({std::string("wide_") + l.name + "_oddities",
                     frames_input(WIDE_PRESETS[1].bytes, wide_oddities(l.link), l.link_byte)});
  return seeds;
}

std::vector<Seed> savefile_seeds(const std::string& demo_pcap) {
  std::vector<Seed> seeds;
  for (const Preset& preset : PRESETS) {
    const std::string n = preset.name;
    seeds.push_back({n + "_worked", savefile_input(preset.bytes, worked())});
    seeds.push_back({n + "_mixed", savefile_input(preset.bytes, mixed())});
  }
  const SettingsBytes plain = PRESETS[0].bytes, debug = PRESETS[1].bytes;
  seeds.push_back(
      {"loopback_worked", savefile_input(plain, worked(Link::LOOPBACK), Link::LOOPBACK)});
  seeds.push_back({"oddities", savefile_input(debug, oddities(Link::ETHERNET))});
  seeds.push_back({"time_jumps", savefile_input(debug, time_jumps())});
  seeds.push_back({"busy_status", savefile_input(PRESETS[6].bytes, busy())});
  seeds.push_back({"pcapng_worked", testlib::pcapng_bytes(worked())});
  seeds.push_back({"pcapng_mixed", testlib::pcapng_bytes(mixed())});
  seeds.push_back({"swapped_mixed", testlib::pcap_bytes_other_order(mixed())});
  seeds.push_back({"swapped_loopback_worked",
                   testlib::pcap_bytes_other_order(worked(Link::LOOPBACK), Link::LOOPBACK)});
  seeds.push_back({"nanoseconds_worked", nanoseconds(savefile_input(plain, worked()))});
  // --decode-all: IPv6 behind tags, and the link types only it reads.
  for (const Preset& preset : WIDE_PRESETS) {
    const std::string n = preset.name;
    seeds.push_back({n + "_dot1q_ipv6_mixed",
                     savefile_input(preset.bytes, over_ipv6(mixed(), Link::ETHERNET, {0x8100}))});
  }
  const SettingsBytes wide = WIDE_PRESETS[0].bytes;
  for (Link link : {Link::COOKED, Link::COOKED2, Link::RAW, Link::LOOPBACK})
    seeds.push_back({"wide_link" + std::to_string(testlib::dlt_of(link)) + "_ipv6_mixed",
                     savefile_input(wide, over_ipv6(mixed(), link), link)});
  seeds.push_back(
      {"wide_oddities", savefile_input(WIDE_PRESETS[1].bytes, wide_oddities(Link::ETHERNET))});
  std::vector<uint8_t> cut = savefile_input(plain, mixed());
  cut.resize(cut.size() - 20);
  seeds.push_back({"cut_mixed", cut});
  // Compressed captures: several gzip members and zstd frames, lz4 and xz, a pcapng
  // inside one, and a member cut short.
  using testlib::Packing;
  seeds.push_back({"gzip_mixed", testlib::packed(Packing::GZIP, savefile_input(plain, mixed()), 2)});
  seeds.push_back({"zstd_worked", testlib::packed(Packing::ZSTD, savefile_input(debug, worked()), 2)});
  seeds.push_back({"lz4_mixed", testlib::packed(Packing::LZ4, savefile_input(plain, mixed()))});
  seeds.push_back({"xz_worked", testlib::packed(Packing::XZ, savefile_input(plain, worked()))});
  seeds.push_back({"zstd_pcapng_mixed", testlib::packed(Packing::ZSTD, testlib::pcapng_bytes(mixed()))});
  std::vector<uint8_t> cut_gzip = testlib::packed(Packing::GZIP, savefile_input(plain, mixed()), 2);
  cut_gzip.resize(cut_gzip.size() * 3 / 4);
  seeds.push_back({"gzip_cut_mixed", cut_gzip});
  if (!demo_pcap.empty()) {
    std::ifstream in(demo_pcap, std::ios::binary);
    std::vector<uint8_t> demo((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    if (demo.size() < 24) throw std::runtime_error("cannot read " + demo_pcap);
    SettingsBytes port_8080 = settings(0, 0, 0, 0, 0, 0, 0, 0x08);
    std::copy(port_8080.begin(), port_8080.end(), demo.begin() + 8);
    seeds.push_back({"demo_8080", demo});
  }
  return seeds;
}

}  // namespace fuzz
