// Connections described by what happens to them, turned into the packets of a
// capture: the fixtures of the report tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testlib/capture_builder.h"

namespace testlib {

// One connection from a client to the server (10.0.0.2:80 unless told otherwise),
// described by what happens to it. Times are microseconds after `start`.
struct Conn {
  std::string client = "10.0.0.1";
  std::string server = "10.0.0.2";
  uint16_t port = 5555;  // the client's
  uint16_t server_port = 80;
  int64_t start = 0;
  int syns = 1;             // SYNs sent, 1 ms apart
  int64_t synack_at = 500;  // -1: never answered
  int synacks = 1;          // SYN-ACKs sent, 1 ms apart
  int64_t fin_at = -1;      // first FIN; -1: none
  bool client_fin_first = true;
  uint32_t client_bytes = 1;  // counts as the connection will report them
  uint32_t server_bytes = 1;
  int64_t answer_at = -1;  // the other side's FIN; -1: none
  int64_t rst_at = -1;     // an RST; -1: none
  bool rst_from_server = false;
  uint32_t client_isn = 1000;
  uint32_t server_isn = 9000;
};

// Packets at BASE_SEC and later.
constexpr int64_t BASE_SEC = 1000;

// The packets of the connections, in time order (stable for equal times), in frames
// of this link, behind these VLAN tags on Ethernet, IPv6 ones behind these extension
// headers.
std::vector<Packet> packets_of(const std::vector<Conn>& conns, Link link = Link::ETHERNET,
                               const std::vector<uint16_t>& vlan_tags = {},
                               const std::vector<Ip6Header>& ip6_headers = {});

// Connections in every state (completed either way round, reset, unanswered, open,
// closing, answered five times) and in several buckets of every ordering: the
// report tests' mixed capture.
std::vector<Conn> mixed_connections();

// The same connections between IPv6 addresses (see as_ipv6).
std::vector<Conn> over_ipv6(std::vector<Conn> conns);

}  // namespace testlib
