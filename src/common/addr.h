// Addresses and endpoints as the program holds them: an address exactly as it lies
// in the packet, a port in host order.
#pragma once

#include <cstdint>

// An IPv4 address: its four bytes in packet (network) order, held in a 32-bit
// value. Four bytes keep a connection record within its 128-byte slot. An IPv6
// address would be held by its number in an address pool, beside a family tag in
// the Endpoint's spare bytes (see doc/design.md), so IPv4 records never grow.
struct IpAddr {
  uint32_t raw = 0;

  friend bool operator==(IpAddr a, IpAddr b) { return a.raw == b.raw; }
  friend bool operator!=(IpAddr a, IpAddr b) { return a.raw != b.raw; }
  friend bool operator<(IpAddr a, IpAddr b) { return a.raw < b.raw; }
};

// One end of a connection.
struct Endpoint {
  IpAddr addr;
  uint16_t port = 0;  // host order

  friend bool operator==(const Endpoint& a, const Endpoint& b) {
    return a.addr == b.addr && a.port == b.port;
  }
  friend bool operator!=(const Endpoint& a, const Endpoint& b) { return !(a == b); }
};

// Room for "255.255.255.255" and its terminator.
struct AddrText {
  char text[16];
};

// The dotted form inet_ntoa() would print, without its shared static buffer, so two
// addresses can appear in one line.
AddrText addr_text(IpAddr addr);
