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
      s.sport = from_client ? c.port : 80;
      s.dport = from_client ? 80 : c.port;
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
      timed.push_back({c.start + c.rst_at, c.rst_from_server ? seg(false, RST, send, 0)
                                                            : seg(true, RST, cend, 0)});
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

}  // namespace testlib
