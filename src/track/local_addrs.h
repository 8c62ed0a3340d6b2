// This host's addresses: a SYN-ACK addressed to one of them means this host is the
// client, so the handshake's time is a true round trip.
#pragma once

#include <set>

#include "common/addr.h"
#include "track/addr_pool.h"

using LocalAddrs = std::set<IpAddr>;   // IPv4, as the addresses lie in packets
using LocalAddrs6 = std::set<Ip6Addr>;  // with --decode-all

// Collected at start-up only when the interface is chosen automatically (a live run
// without -i); empty otherwise.
struct HostAddrs {
  LocalAddrs v4;
  LocalAddrs6 v6;

  // Whether `e` (an IPv6 one numbered in `pool`) is one of them.
  bool holds(const AddrPool& pool, const Endpoint& e) const {
    if (e.family == Family::IPV4) return v4.count(e.addr) != 0;
    return v6.count(pool_address(pool, e.addr.raw)) != 0;
  }
};
