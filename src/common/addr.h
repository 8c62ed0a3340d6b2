// Addresses and endpoints as the program holds them: an IPv4 address exactly as it
// lies in the packet, an IPv6 address by its number in the address pool, a port in
// host order.
#pragma once

#include <cstdint>
#include <cstring>

// Four bytes that stand for an address: an IPv4 address's bytes in packet (network)
// order, or an IPv6 address's number in the address pool (track/addr_pool.h). Four
// bytes keep a connection record within its 128-byte slot whatever the family, so
// IPv4 records never grow; which of the two it is, the Endpoint says.
struct IpAddr {
  uint32_t raw = 0;

  friend bool operator==(IpAddr a, IpAddr b) { return a.raw == b.raw; }
  friend bool operator!=(IpAddr a, IpAddr b) { return a.raw != b.raw; }
  friend bool operator<(IpAddr a, IpAddr b) { return a.raw < b.raw; }
};

// IPv4 is 0, so that a zeroed endpoint is an IPv4 one, as every endpoint was before
// IPv6 was read.
enum class Family : uint16_t { IPV4 = 0, IPV6 = 1 };

// One end of a connection. The family lies in what would otherwise be two bytes of
// padding: an endpoint of either family is eight bytes, compared and hashed whole.
struct Endpoint {
  IpAddr addr;
  uint16_t port = 0;  // host order
  Family family = Family::IPV4;

  // Field by field, as the fields were stored: one 8-byte load of an endpoint just
  // written in three stores would wait for them (no store-to-load forwarding), and
  // the lookups of every segment would pay for it.
  friend bool operator==(const Endpoint& a, const Endpoint& b) {
    return a.addr == b.addr && a.port == b.port && a.family == b.family;
  }
  friend bool operator!=(const Endpoint& a, const Endpoint& b) { return !(a == b); }
};
static_assert(sizeof(Endpoint) == 8, "an endpoint is eight bytes");

// An IPv6 address's sixteen bytes, in packet order.
struct Ip6Addr {
  uint8_t bytes[16] = {};

  friend bool operator==(const Ip6Addr& a, const Ip6Addr& b) {
    return std::memcmp(a.bytes, b.bytes, 16) == 0;
  }
  // Byte order is the order of the addresses as 128-bit numbers.
  friend bool operator<(const Ip6Addr& a, const Ip6Addr& b) {
    return std::memcmp(a.bytes, b.bytes, 16) < 0;
  }
};

// Room for the longest IPv6 text (INET6_ADDRSTRLEN, 46 with its terminator) in
// brackets.
struct AddrText {
  char text[48];
};

// The text of an address, for addr_text (track/addr_pool.h), which knows an
// endpoint's family and prints either.

// The dotted form inet_ntoa() would print, without its shared static buffer, so two
// addresses can appear in one line.
AddrText ipv4_text(IpAddr addr);

// The text RFC 5952 recommends: lower-case hexadecimal, leading zeros dropped, the
// longest run of zero groups (the first of equal ones, if longer than one group)
// shortened to "::", and an address that embeds an IPv4 one under a prefix of RFC
// 4291 (::ffff:0:0/96, ::/96) ending in dotted form. With
// `bracketed`, in brackets, as the RFC's section 6 writes an address before ":port".
AddrText ipv6_text(const Ip6Addr& addr, bool bracketed = false);
