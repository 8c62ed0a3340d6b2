// The fields of one decoded TCP segment that the tracker uses, in host order.
#pragma once

#include <cstdint>

#include "common/time.h"

constexpr uint8_t TCP_FIN = 0x01;
constexpr uint8_t TCP_SYN = 0x02;
constexpr uint8_t TCP_RST = 0x04;
constexpr uint8_t TCP_ACK = 0x10;

struct TcpSegment {
  Timeval time;      // the libpcap timestamp: a packet's time everywhere
  uint32_t src = 0;  // IPv4 addresses as stored in the packet (network order)
  uint32_t dst = 0;
  uint16_t sport = 0;
  uint16_t dport = 0;
  uint32_t seq = 0;
  uint32_t ack = 0;
  uint8_t flags = 0;
};
