// Connection table: one record per client endpoint, listed in the byte order of
// the endpoints' key texts.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
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

// A client endpoint as the table looks it up. Two 32-bit halves rather than one
// 64-bit number, so that an index entry (endpoint and record number) takes 12
// bytes, not 16.
struct Endpoint {
  uint32_t addr;
  uint32_t port;
  bool operator==(const Endpoint& o) const { return addr == o.addr && port == o.port; }
  template <typename H>
  friend H AbslHashValue(H h, const Endpoint& e) {
    return H::combine(std::move(h), static_cast<uint64_t>(e.addr) << 32 | e.port);
  }
};

// Memory for the table's large arrays. A block of a few megabytes or more is
// aligned to, and asks the system for, 2 MB pages: lookups land at random all over
// the table, and with 4 KB pages nearly every one would also miss the address
// translation cache.
void* table_allocate(size_t bytes);
void table_free(void* p);

template <typename T>
struct TableAllocator {
  using value_type = T;
  TableAllocator() = default;
  template <typename U>
  TableAllocator(const TableAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(table_allocate(n * sizeof(T))); }
  void deallocate(T* p, size_t) { table_free(p); }
  template <typename U>
  bool operator==(const TableAllocator<U>&) const {
    return true;
  }
  template <typename U>
  bool operator!=(const TableAllocator<U>&) const {
    return false;
  }
};

// Records by endpoint, built for millions of open connections.
//
// `index` is an open-addressing hash map from the endpoint to a record number: 12
// bytes a slot plus one control byte, at a load between 7/16 and 7/8, so 15 to 30
// bytes per record. The records (120 bytes each) live in chunks that are allocated
// once and never move: a record keeps its address from insertion to erasure, and a
// freed record is reused by the next insertion, while it is likely still in the
// cache. `live` has one bit per record number, so the walks read the chunks in
// address order instead of following the index.
//
// Only where a listing walks the table is the key text produced and sorted.
struct ConnTable {
  static constexpr uint32_t CHUNK_BITS = 16;  // 65 536 records, 7.5 MB a chunk
  static constexpr uint32_t CHUNK_SIZE = 1u << CHUNK_BITS;
  static constexpr uint32_t NO_RECORD = UINT32_MAX;

  absl::flat_hash_map<Endpoint, uint32_t, absl::Hash<Endpoint>, std::equal_to<Endpoint>,
                      TableAllocator<std::pair<const Endpoint, uint32_t>>>
      index;
  std::vector<ConnInfo*> chunks;
  std::vector<uint64_t> live;
  uint32_t used = 0;               // record numbers handed out so far
  uint32_t free_head = NO_RECORD;  // freed records, each holding the next one's number

  ConnInfo* record(uint32_t n) const { return chunks[n >> CHUNK_BITS] + (n & (CHUNK_SIZE - 1)); }
  bool is_live(uint32_t n) const { return (live[n >> 6] >> (n & 63)) & 1; }
};

extern ConnTable g_conns;

// A pointer returned by conn_find or conn_insert stays valid until that record is
// erased (or the table is reset); inserting or erasing other records never moves it.
ConnInfo* conn_find(uint32_t addr, uint32_t port);
// Inserts a zeroed record for a new endpoint (the caller checked it is absent).
ConnInfo* conn_insert(uint32_t addr, uint32_t port);
// The endpoint's record, inserted zeroed (and *inserted set) when it had none: one
// lookup where conn_find and conn_insert would take two.
ConnInfo* conn_find_or_insert(uint32_t addr, uint32_t port, bool* inserted);
void conn_erase(uint32_t addr, uint32_t port);
size_t conn_count();
// Hints for a lookup coming soon: fetch the index slot of the endpoint, or, once
// that has arrived, the endpoint's record. They change nothing.
void conn_prefetch(uint32_t addr, uint32_t port);
void conn_prefetch_record(uint32_t addr, uint32_t port);
// Every record, ordered by key text.
std::vector<const ConnInfo*> conns_in_key_order();
void reset_conn_table();

// Every record, in no particular order.
template <typename F>
void conn_for_each(F&& visit) {
  const ConnTable& t = g_conns;
  for (size_t word = 0; word < t.live.size(); word++) {
    for (uint64_t bits = t.live[word]; bits != 0; bits &= bits - 1) {
      const uint32_t n =
          static_cast<uint32_t>(word * 64 + static_cast<size_t>(__builtin_ctzll(bits)));
      visit(static_cast<const ConnInfo&>(*t.record(n)));
    }
  }
}
