// One decoded TCP segment: the fields the tracker uses, in host order, and the rule
// that tells which of its two endpoints is the client.
#pragma once

#include <cstdint>

#include "common/addr.h"
#include "common/time.h"

constexpr uint8_t TCP_FIN = 0x01;
constexpr uint8_t TCP_SYN = 0x02;
constexpr uint8_t TCP_RST = 0x04;
constexpr uint8_t TCP_ACK = 0x10;

struct Segment {
  Timeval time;  // the libpcap timestamp: a packet's time everywhere
  Endpoint src;
  Endpoint dst;
  uint32_t seq = 0;
  uint32_t ack = 0;
  uint8_t flags = 0;
};

// Whether a segment other than a SYN (which always comes from the client) was sent
// by the client: its source port is not the monitored one, unless both ports are.
inline bool sent_by_client(const Segment& s, uint16_t port) {
  return s.src.port != port || s.dst.port == port;
}

// The client endpoint of a SYN-ACK, FIN or RST: the endpoint whose record it
// belongs to.
inline const Endpoint& client_endpoint(const Segment& s, uint16_t port) {
  return sent_by_client(s, port) ? s.src : s.dst;
}
