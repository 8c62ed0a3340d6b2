// Handshake tracking: a client's SYN creates or restarts its record, the server's
// SYN-ACK establishes it and may give a round-trip estimate.
#pragma once

#include <cstdint>
#include <set>

#include "common/addr.h"
#include "track/endpoint_tally.h"
#include "track/segment.h"

// This host's addresses, collected at start-up only when the interface is chosen
// automatically: IPv4 ones, and with --decode-all IPv6 ones.
using LocalAddrs = std::set<IpAddr>;
using LocalAddrs6 = std::set<Ip6Addr>;

// What the handshake tracker knows and counts besides the records.
struct TrackerState {
  LocalAddrs local_addrs;
  LocalAddrs6 local_addrs6;
  uint64_t total_syns = 0;  // SYNs that created or restarted a connection record
  uint64_t dup_syns = 0;    // SYNs that restarted an existing record
  // SYNs of new endpoints while the table held --max-conns records (counted in
  // total_syns too), and their endpoints.
  uint64_t untracked_syns = 0;
  EndpointTally untracked_endpoints;
  // Round-trip estimation: on from the start with -T, or switched on by the first
  // SYN-ACK addressed to one of this host's addresses (this host is then the
  // client, and a handshake's time is a true round trip).
  bool rtt_enabled = false;
};

extern TrackerState g_tracker;

void handle_syn(const Segment& seg);
void handle_synack(const Segment& seg);
