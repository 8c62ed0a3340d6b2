#include "testlib/capture_builder.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace testlib {
namespace {

void put16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
  b[off] = static_cast<uint8_t>(v >> 8);
  b[off + 1] = static_cast<uint8_t>(v);
}

void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void put_addr(std::vector<uint8_t>& b, size_t off, const std::string& dotted) {
  uint32_t a = ip(dotted);
  std::memcpy(&b[off], &a, 4);
}

bool is_ipv6(const Seg& s) { return s.src.find(':') != std::string::npos; }

std::vector<uint8_t> link_header(Link link, uint16_t ethertype,
                                 const std::vector<uint16_t>& vlan_tags = {}) {
  switch (link) {
    case Link::LOOPBACK: {
      // The address family in host byte order: 2 (AF_INET) for IPv4, a BSD's
      // AF_INET6 (24) for IPv6.
      std::vector<uint8_t> h(4);
      uint32_t family = ethertype == 0x0800 ? 2 : 24;
      std::memcpy(h.data(), &family, 4);
      return h;
    }
    case Link::COOKED: {
      // Packet type "to us", ARPHRD_ETHER, a 6-byte address, the protocol.
      std::vector<uint8_t> h(16, 0);
      put16(h, 2, 1);
      put16(h, 4, 6);
      for (int i = 0; i < 6; ++i) h[6 + i] = 0x04;
      put16(h, 14, ethertype);
      return h;
    }
    case Link::COOKED2: {
      // The protocol, reserved bytes, interface 1, ARPHRD_ETHER, packet type,
      // a 6-byte address.
      std::vector<uint8_t> h(20, 0);
      put16(h, 0, ethertype);
      put32(h, 4, 1);
      put16(h, 8, 1);
      h[11] = 6;
      for (int i = 0; i < 6; ++i) h[12 + i] = 0x04;
      return h;
    }
    case Link::RAW:
      return {};
    case Link::ETHERNET:
      break;
  }
  std::vector<uint8_t> h(14, 0);
  for (int i = 0; i < 6; ++i) h[i] = 0x02, h[6 + i] = 0x04;
  for (size_t i = 0; i < vlan_tags.size(); ++i) {
    // Each tag: its type where the frame's type was, then VLAN 5 + i.
    put16(h, h.size() - 2, vlan_tags[i]);
    h.push_back(0x00);
    h.push_back(static_cast<uint8_t>(5 + i));
    h.push_back(0);
    h.push_back(0);
  }
  put16(h, h.size() - 2, ethertype);
  return h;
}

// The segment's TCP header at offset t of the datagram, its options NOPs.
void put_tcp(std::vector<uint8_t>& p, size_t t, const Seg& s) {
  const size_t tcp_len = 20 + s.tcp_opts;
  put16(p, t, s.sport);
  put16(p, t + 2, s.dport);
  put32(p, t + 4, s.seq);
  put32(p, t + 8, s.ack);
  const int off = s.tcp_off_bytes.value_or(static_cast<int>(tcp_len));
  p[t + 12] = static_cast<uint8_t>(((off / 4) & 0x0f) << 4);
  p[t + 13] = s.flags;
  put16(p, t + 14, 65535);
  for (size_t i = 0; i < s.tcp_opts; ++i) p[t + 20 + i] = 1;  // NOP (RFC 793)
}

std::vector<uint8_t> ipv4_tcp(const Seg& s) {
  const size_t tcp_len = 20 + s.tcp_opts;
  const size_t ip_len = 20 + s.ip_opts;
  std::vector<uint8_t> p(ip_len + tcp_len + s.payload, 0);
  int ip_hl = s.ip_hl_bytes.value_or(static_cast<int>(ip_len));
  p[0] = static_cast<uint8_t>(0x40 | ((ip_hl / 4) & 0x0f));
  put16(p, 2, static_cast<uint16_t>(s.ip_total_len.value_or(static_cast<int>(p.size()))));
  p[8] = 64;
  p[9] = s.proto;
  put_addr(p, 12, s.src);
  put_addr(p, 16, s.dst);
  for (size_t i = 0; i < s.ip_opts; ++i) p[20 + i] = 1;  // NOP (RFC 791)
  const size_t t = ip_len;
  put_tcp(p, t, s);
  return p;
}

std::vector<uint8_t> ipv6_tcp(const Seg& s) {
  const size_t tcp_len = 20 + s.tcp_opts;
  size_t headers = 0;
  for (const Ip6Header& h : s.ip6_headers) headers += h.bytes.size();
  std::vector<uint8_t> p(40 + headers + tcp_len + s.payload, 0);
  p[0] = 0x60;
  put16(p, 4, static_cast<uint16_t>(s.ip_total_len.value_or(static_cast<int>(p.size())) - 40));
  p[6] = s.ip6_headers.empty() ? s.proto : s.ip6_headers.front().type;
  p[7] = 64;
  const std::array<uint8_t, 16> src = ip6(s.src), dst = ip6(s.dst);
  std::memcpy(&p[8], src.data(), 16);
  std::memcpy(&p[24], dst.data(), 16);
  size_t t = 40;
  for (size_t i = 0; i < s.ip6_headers.size(); ++i) {
    const std::vector<uint8_t>& bytes = s.ip6_headers[i].bytes;
    std::copy(bytes.begin(), bytes.end(), p.begin() + static_cast<long>(t));
    p[t] = i + 1 < s.ip6_headers.size() ? s.ip6_headers[i + 1].type : s.proto;
    t += bytes.size();
  }
  put_tcp(p, t, s);
  return p;
}

Seg make(const char* src, const char* dst, uint16_t sport, uint16_t dport, uint32_t seq,
         uint32_t ack, uint8_t flags, size_t payload = 0) {
  Seg s;
  s.src = src;
  s.dst = dst;
  s.sport = sport;
  s.dport = dport;
  s.seq = seq;
  s.ack = ack;
  s.flags = flags;
  s.payload = payload;
  return s;
}

}  // namespace

Ip6Header option_header(uint8_t type, uint8_t length) {
  Ip6Header h;
  h.type = type;
  h.bytes.assign((static_cast<size_t>(length) + 1) * 8, 0);
  h.bytes[1] = length;
  // The bytes after the first two as padding (RFC 8200, section 4.2): PadN options
  // of up to 257 bytes, a last single byte as Pad1 (a zero).
  for (size_t at = 2; at + 1 < h.bytes.size();) {
    const size_t n = std::min<size_t>(h.bytes.size() - at, 257);
    h.bytes[at] = 1;
    h.bytes[at + 1] = static_cast<uint8_t>(n - 2);
    at += n;
  }
  return h;
}

Ip6Header fragment_header(uint16_t offset, bool more, uint8_t reserved) {
  Ip6Header h;
  h.type = 44;
  h.bytes.assign(8, 0);
  h.bytes[1] = reserved;
  put16(h.bytes, 2, static_cast<uint16_t>(offset << 3 | (reserved & 0x06) | (more ? 1 : 0)));
  for (int i = 4; i < 8; ++i) h.bytes[i] = static_cast<uint8_t>(0x10 + i);  // identification
  return h;
}

uint32_t ip(const std::string& dotted) {
  in_addr a;
  if (inet_pton(AF_INET, dotted.c_str(), &a) != 1) throw std::invalid_argument(dotted);
  return a.s_addr;
}

std::array<uint8_t, 16> ip6(const std::string& text) {
  std::array<uint8_t, 16> a;
  if (inet_pton(AF_INET6, text.c_str(), a.data()) != 1) throw std::invalid_argument(text);
  return a;
}

std::string ipv6_of(const std::string& dotted) {
  const uint32_t a = ntohl(ip(dotted));
  char text[64];
  std::snprintf(text, sizeof text, "2001:db8::%x:%x", a >> 16, a & 0xffff);
  if ((a >> 8) == 0x0a0000) std::snprintf(text, sizeof text, "2001:db8::%x", a & 0xff);
  return text;
}

Seg as_ipv6(Seg seg) {
  seg.src = ipv6_of(seg.src);
  seg.dst = ipv6_of(seg.dst);
  return seg;
}

int dlt_of(Link link) {
  switch (link) {
    case Link::LOOPBACK:
      return DLT_NULL;
    case Link::COOKED:
      return DLT_LINUX_SLL;
    case Link::COOKED2:
      return DLT_LINUX_SLL2;
    case Link::RAW:
      return DLT_RAW;
    case Link::ETHERNET:
      break;
  }
  return DLT_EN10MB;
}

Seg syn(uint32_t seq) { return make("10.0.0.1", "10.0.0.2", 5555, 80, seq, 0, SYN); }
Seg synack(uint32_t seq, uint32_t ack) {
  return make("10.0.0.2", "10.0.0.1", 80, 5555, seq, ack, SYN | ACK);
}
Seg client_fin(uint32_t seq, uint32_t ack, size_t payload) {
  return make("10.0.0.1", "10.0.0.2", 5555, 80, seq, ack, FIN | ACK, payload);
}
Seg server_fin(uint32_t seq, uint32_t ack, size_t payload) {
  return make("10.0.0.2", "10.0.0.1", 80, 5555, seq, ack, FIN | ACK, payload);
}
Seg client_rst(uint32_t seq) { return make("10.0.0.1", "10.0.0.2", 5555, 80, seq, 0, RST); }
Seg server_rst(uint32_t seq) { return make("10.0.0.2", "10.0.0.1", 80, 5555, seq, 0, RST); }

Seg on_client_port(Seg seg, uint16_t port) {
  (seg.sport == 80 ? seg.dport : seg.sport) = port;
  return seg;
}

std::vector<uint8_t> tcp_frame(Link link, const Seg& seg) {
  const bool v6 = is_ipv6(seg);
  std::vector<uint8_t> f = link_header(link, v6 ? 0x86dd : 0x0800, seg.vlan_tags);
  std::vector<uint8_t> p = v6 ? ipv6_tcp(seg) : ipv4_tcp(seg);
  f.insert(f.end(), p.begin(), p.end());
  return f;
}

std::vector<uint8_t> arp_frame() {
  std::vector<uint8_t> f = link_header(Link::ETHERNET, 0x0806);
  f.resize(14 + 28, 0);
  return f;
}

std::vector<uint8_t> ipv6_frame() {
  std::vector<uint8_t> f = link_header(Link::ETHERNET, 0x86dd);
  f.resize(14 + 40 + 20, 0);
  f[14] = 0x60;
  f[14 + 6] = 6;  // next header: TCP
  return f;
}

std::vector<uint8_t> vlan_frame(const Seg& seg) {
  std::vector<uint8_t> f = link_header(Link::ETHERNET, 0x8100);
  f.push_back(0x00);
  f.push_back(0x05);  // VLAN 5
  f.push_back(0x08);
  f.push_back(0x00);
  std::vector<uint8_t> p = ipv4_tcp(seg);
  f.insert(f.end(), p.begin(), p.end());
  return f;
}

std::vector<uint8_t> udp_frame(Link link, const std::string& src, const std::string& dst,
                               uint16_t sport, uint16_t dport) {
  Seg s;
  s.src = src;
  s.dst = dst;
  s.proto = 17;
  std::vector<uint8_t> p = ipv4_tcp(s);
  p.resize(28);
  put16(p, 2, 28);
  put16(p, 20, sport);
  put16(p, 22, dport);
  put16(p, 24, 8);
  std::vector<uint8_t> f = link_header(link, 0x0800);
  f.insert(f.end(), p.begin(), p.end());
  return f;
}

Packet at(int64_t sec, int64_t usec, std::vector<uint8_t> data) {
  Packet p;
  p.sec = sec;
  p.usec = usec;
  p.data = std::move(data);
  return p;
}

pcap_pkthdr header_of(const Packet& p) {
  pcap_pkthdr h;
  std::memset(&h, 0, sizeof h);
  h.ts.tv_sec = static_cast<time_t>(p.sec);
  h.ts.tv_usec = static_cast<suseconds_t>(p.usec);
  h.caplen = static_cast<bpf_u_int32>(p.data.size());
  h.len = p.wire_len ? p.wire_len : h.caplen;
  return h;
}

Packet at(int64_t sec, int64_t usec, const Seg& seg, Link link) {
  return at(sec, usec, tcp_frame(link, seg));
}

void write_pcap_dlt(const std::string& path, const std::vector<Packet>& packets, int dlt) {
  pcap_t* dead = pcap_open_dead(dlt, 65535);
  if (!dead) throw std::runtime_error("pcap_open_dead");
  pcap_dumper_t* d = pcap_dump_open(dead, path.c_str());
  if (!d) {
    std::string err = pcap_geterr(dead);
    pcap_close(dead);
    throw std::runtime_error("pcap_dump_open: " + err);
  }
  for (const Packet& p : packets) {
    const pcap_pkthdr h = header_of(p);
    pcap_dump(reinterpret_cast<u_char*>(d), &h, p.data.data());
  }
  pcap_dump_close(d);
  pcap_close(dead);
}

void write_pcap(const std::string& path, const std::vector<Packet>& packets, Link link) {
  write_pcap_dlt(path, packets, dlt_of(link));
}

std::vector<Packet> read_pcap(const std::string& path, int* dlt) {
  char errbuf[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), errbuf);
  if (!p) throw std::runtime_error(std::string("pcap_open_offline: ") + errbuf);
  if (dlt) *dlt = pcap_datalink(p);
  std::vector<Packet> out;
  pcap_pkthdr* h;
  const u_char* data;
  int rc;
  while ((rc = pcap_next_ex(p, &h, &data)) == 1) {
    Packet pk;
    pk.sec = h->ts.tv_sec;
    pk.usec = h->ts.tv_usec;
    pk.data.assign(data, data + h->caplen);
    pk.wire_len = h->len;
    out.push_back(std::move(pk));
  }
  std::string err = rc == PCAP_ERROR ? pcap_geterr(p) : "";
  pcap_close(p);
  if (!err.empty()) throw std::runtime_error("read_pcap: " + err);
  return out;
}

namespace {

void append_host(std::vector<uint8_t>& b, const void* v, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(v);
  b.insert(b.end(), p, p + n);
}
void append16(std::vector<uint8_t>& b, uint16_t v) { append_host(b, &v, 2); }
void append32(std::vector<uint8_t>& b, uint32_t v) { append_host(b, &v, 4); }

// The link type as a savefile names it (LINKTYPE_*): the DLT value but for raw IP.
int link_dlt(Link link) { return link == Link::RAW ? 101 : dlt_of(link); }

// A pcapng block: type, total length, body padded to 32 bits, total length again.
void append_block(std::vector<uint8_t>& b, uint32_t type, const std::vector<uint8_t>& body) {
  const size_t padded = (body.size() + 3) / 4 * 4;
  const uint32_t total = static_cast<uint32_t>(12 + padded);
  append32(b, type);
  append32(b, total);
  b.insert(b.end(), body.begin(), body.end());
  b.resize(b.size() + padded - body.size(), 0);
  append32(b, total);
}

}  // namespace

std::vector<uint8_t> pcap_bytes(const std::vector<Packet>& packets, Link link) {
  std::vector<uint8_t> b;
  append32(b, 0xa1b2c3d4);  // microsecond timestamps
  append16(b, 2);
  append16(b, 4);
  append32(b, 0);  // thiszone
  append32(b, 0);  // sigfigs
  append32(b, 65535);
  append32(b, static_cast<uint32_t>(link_dlt(link)));
  for (const Packet& p : packets) {
    append32(b, static_cast<uint32_t>(p.sec));
    append32(b, static_cast<uint32_t>(p.usec));
    append32(b, static_cast<uint32_t>(p.data.size()));
    append32(b, p.wire_len ? p.wire_len : static_cast<uint32_t>(p.data.size()));
    b.insert(b.end(), p.data.begin(), p.data.end());
  }
  return b;
}

std::vector<uint8_t> pcap_bytes_other_order(const std::vector<Packet>& packets, Link link) {
  std::vector<uint8_t> b = pcap_bytes(packets, link);
  auto swap_at = [&](size_t off, size_t n) { std::reverse(&b[off], &b[off] + n); };
  swap_at(0, 4);  // magic
  swap_at(4, 2);  // version
  swap_at(6, 2);
  for (size_t off = 8; off < 24; off += 4) swap_at(off, 4);
  size_t off = 24;
  for (const Packet& p : packets) {
    for (size_t f = 0; f < 16; f += 4) swap_at(off + f, 4);
    if (link == Link::LOOPBACK && p.data.size() >= 4) swap_at(off + 16, 4);
    off += 16 + p.data.size();
  }
  return b;
}

std::vector<uint8_t> pcapng_bytes(const std::vector<Packet>& packets, Link link) {
  std::vector<uint8_t> b, body;
  // Section Header Block: byte-order magic, version 1.0, section length unknown.
  append32(body, 0x1a2b3c4d);
  append16(body, 1);
  append16(body, 0);
  append32(body, 0xffffffff);
  append32(body, 0xffffffff);
  append_block(b, 0x0a0d0d0a, body);
  // Interface Description Block without options: timestamps in microseconds.
  body.clear();
  append16(body, static_cast<uint16_t>(link_dlt(link)));
  append16(body, 0);
  append32(body, 65535);
  append_block(b, 1, body);
  for (const Packet& p : packets) {
    // Enhanced Packet Block: interface 0, a 64-bit timestamp split high/low.
    const uint64_t ts = static_cast<uint64_t>(p.sec) * 1000000 + static_cast<uint64_t>(p.usec);
    body.clear();
    append32(body, 0);
    append32(body, static_cast<uint32_t>(ts >> 32));
    append32(body, static_cast<uint32_t>(ts));
    append32(body, static_cast<uint32_t>(p.data.size()));
    append32(body, p.wire_len ? p.wire_len : static_cast<uint32_t>(p.data.size()));
    body.insert(body.end(), p.data.begin(), p.data.end());
    append_block(b, 6, body);
  }
  return b;
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("fopen " + path);
  // An empty vector may have no buffer at all: fwrite must not see a null pointer.
  const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !ok) throw std::runtime_error("write " + path);
}

}  // namespace testlib
