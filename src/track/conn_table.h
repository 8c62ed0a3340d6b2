// Connection table: one record per client endpoint, listed in the byte order of
// the endpoints' key texts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "common/time.h"

enum ConnState : int32_t {
  SYN_SEEN = 1,     // SYN seen, no SYN-ACK yet
  ESTABLISHED = 2,  // SYN-ACK seen
  CLOSING = 3,      // first FIN seen (counted or not)
};

struct ConnInfo {
  Timeval syn_time;  // the SYN that started (or restarted) the connection
  Timeval fin_time;  // the first FIN; moved by a repeated FIN from the same host
  int32_t rtt;       // handshake round-trip estimate, ms; 0 = none
  uint64_t client_isn;
  uint64_t server_isn;
  uint64_t pending_isn;      // a later SYN from the same endpoint
  Timeval pending_syn_time;  // its time; zero = none
  ConnState state;
  uint64_t nsyns;        // SYNs counted for this record
  uint32_t client_addr;  // network byte order
  uint32_t fin_sender;   // source address of the first FIN
  uint32_t client_port;  // host order
  int32_t synacks;       // SYN-ACKs seen for the current attempt
  uint32_t throughput;   // KB/s, set at close in the throughput ordering
  int32_t bucket;        // bucket the connection was counted in; -1 until then
};

// "%#8x%#4x" of the address bytes read as a little-endian number and the port: at
// most "0xffffffff0xffff" and its terminator.
using ClientKey = std::array<char, 20>;
ClientKey client_key(uint32_t addr, uint32_t port);

// Records by endpoint. Lookups hash the address and port; the key text and its
// order are produced only where a listing walks the table.
struct ConnTable {
  std::unordered_map<uint64_t, ConnInfo> records;
};

extern ConnTable g_conns;

ConnInfo* conn_find(uint32_t addr, uint32_t port);
// Inserts a zeroed record for a new endpoint (the caller checked it is absent).
ConnInfo* conn_insert(uint32_t addr, uint32_t port);
void conn_erase(uint32_t addr, uint32_t port);
size_t conn_count();
// Every record, ordered by key text.
std::vector<const ConnInfo*> conns_in_key_order();
void reset_conn_table();

template <typename F>
void conn_for_each(F&& visit) {
  for (const auto& entry : g_conns.records) visit(entry.second);
}
