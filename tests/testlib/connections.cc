#include "testlib/connections.h"

#include <algorithm>
#include <utility>

namespace testlib {

std::vector<Packet> packets_of(const std::vector<Conn>& conns, Link link,
                               const std::vector<uint16_t>& vlan_tags,
                               const std::vector<Ip6Header>& ip6_headers) {
  std::vector<std::pair<int64_t, Seg>> timed;
  for (const Conn& c : conns) {
    const uint32_t cisn = c.client_isn, sisn = c.server_isn;
    auto seg = [&](bool from_client, uint8_t flags, uint32_t seq, uint32_t ack) {
      Seg s;
      s.src = from_client ? c.client : c.server;
      s.dst = from_client ? c.server : c.client;
      s.sport = from_client ? c.port : c.server_port;
      s.dport = from_client ? c.server_port : c.port;
      s.flags = flags;
      s.seq = seq;
      s.ack = ack;
      s.vlan_tags = vlan_tags;
      s.ip6_headers = ip6_headers;  // an IPv4 segment has none
      return s;
    };
    for (int i = 0; i < c.syns; ++i) timed.push_back({c.start + i * 1000, seg(true, SYN, cisn, 0)});
    if (c.synack_at >= 0)
      for (int i = 0; i < c.synacks; ++i)
        timed.push_back({c.start + c.synack_at + i * 1000, seg(false, SYN | ACK, sisn, cisn + 1)});
    const uint32_t cend = cisn + c.client_bytes, send = sisn + c.server_bytes;
    if (c.fin_at >= 0)
      timed.push_back({c.start + c.fin_at, c.client_fin_first ? seg(true, FIN | ACK, cend, send)
                                                              : seg(false, FIN | ACK, send, cend)});
    if (c.answer_at >= 0)
      timed.push_back({c.start + c.answer_at, c.client_fin_first
                                                  ? seg(false, FIN | ACK, send, cend + 1)
                                                  : seg(true, FIN | ACK, cend, send + 1)});
    if (c.rst_at >= 0)
      timed.push_back({c.start + c.rst_at,
                       c.rst_from_server ? seg(false, RST, send, 0) : seg(true, RST, cend, 0)});
  }
  std::stable_sort(timed.begin(), timed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Packet> out;
  for (const auto& [us, s] : timed)
    out.push_back(at(BASE_SEC + us / 1000000, us % 1000000, s, link));
  return out;
}

std::vector<Conn> over_ipv6(std::vector<Conn> conns) {
  for (Conn& c : conns) {
    c.client = ipv6_of(c.client);
    c.server = ipv6_of(c.server);
  }
  return conns;
}

// Connections in every state and several buckets of every ordering.
std::vector<Conn> mixed_connections() {
  std::vector<Conn> v;
  Conn c;
  c.fin_at = 250700, c.client_bytes = 501, c.server_bytes = 3001, c.answer_at = 290700;
  v.push_back(c);  // 250 ms, answered after 40 ms
  c = Conn{};
  c.client = "10.0.0.3", c.port = 4000, c.start = 10000, c.fin_at = 15300;
  c.client_fin_first = false, c.client_bytes = 101, c.server_bytes = 201, c.answer_at = 20300;
  v.push_back(c);  // 15 ms, server closes first
  c = Conn{};
  c.client = "10.0.0.4", c.port = 4001, c.start = 20000, c.syns = 2, c.synack_at = 1500;
  c.fin_at = 46500, c.client_bytes = 2001, c.server_bytes = 50001, c.answer_at = 48000;
  v.push_back(c);  // 45 ms after its second SYN, 48 KB from the server
  c = Conn{};
  c.client = "10.0.0.5", c.port = 4002, c.start = 30000, c.fin_at = 530000, c.answer_at = 531000;
  v.push_back(c);  // 500 ms: the overflow row
  c = Conn{};
  c.client = "10.0.0.6", c.port = 4003, c.start = 40000, c.synack_at = 100, c.fin_at = 600;
  c.client_bytes = 1, c.server_bytes = 64000, c.answer_at = 700;
  v.push_back(c);  // closed within the millisecond, 62 KB
  c = Conn{};
  c.client = "10.0.0.7", c.port = 4004, c.start = 50000, c.rst_at = 9000;
  v.push_back(c);  // reset
  c = Conn{};
  c.client = "10.0.0.8", c.port = 4005, c.start = 60000, c.syns = 3, c.synack_at = -1;
  v.push_back(c);  // never answered
  c = Conn{};
  c.client = "10.0.0.9", c.port = 4006, c.start = 70000;
  v.push_back(c);  // established, still open
  c = Conn{};
  c.client = "10.1.2.0", c.port = 5555, c.start = 80000, c.fin_at = 100000;
  c.client_bytes = 7000, c.server_bytes = 30000;
  v.push_back(c);  // 20 ms, closing at the end
  c = Conn{};
  c.client = "10.0.0.10", c.port = 4007, c.start = 90000, c.synacks = 5;
  v.push_back(c);  // five SYN-ACKs: may have been discarded
  return v;
}

}  // namespace testlib
