// Address and port conventions: IPv4 addresses stay as the four bytes lie in the
// packet (network byte order); ports and sequence numbers are used in host order.
#pragma once

#include <cstdint>

// Room for "255.255.255.255" and its terminator.
struct DottedAddr {
  char text[16];
};

// The dotted form inet_ntoa() would print, without its shared static buffer, so two
// addresses can appear in one line.
DottedAddr dotted(uint32_t addr);

// Reads the four address bytes at `p` as they lie in the packet.
uint32_t load_addr(const uint8_t* p);
