// Connection table: one record per client endpoint, IPv4 ones listed in the byte
// order of their key texts, IPv6 ones after them by address; and beside the records,
// when a run asks for connection records, a column of what those need besides.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/addr.h"
#include "common/big_alloc.h"
#include "common/time.h"
#include "track/endpoint_index.h"

struct AddrPool;

enum ConnState : uint16_t {
  SYN_SEEN = 1,     // SYN seen, no SYN-ACK yet
  ESTABLISHED = 2,  // SYN-ACK seen
  CLOSING = 3,      // first FIN seen (counted or not)
};

// One record per client endpoint, of either family. The fields are ordered for
// packing, not by meaning: 112 bytes, so that a record and its free-list link fill
// one 128-byte slot.
struct ConnInfo {
  Timeval syn_time;          // the SYN that started (or restarted) the connection
  Timeval fin_time;          // the first FIN; moved by a repeated FIN from its sender
  Timeval pending_syn_time;  // a later SYN from the same endpoint; zero = none
  uint64_t client_isn;
  // The server's initial sequence number the byte counts are measured from: the one
  // of the SYN-ACK that established the current attempt (see established_isn).
  uint64_t server_isn;
  uint32_t pending_isn;  // that later SYN's sequence number
  // The ISN of the SYN-ACK that established the current attempt. A later SYN-ACK
  // answering the same attempt with another ISN (a Fast Open retry, a middlebox
  // answering for the server) does not move the byte counts' origin: it was never
  // the connection's.
  uint32_t established_isn;
  uint64_t nsyns;  // SYNs counted for this record
  Endpoint client;       // the endpoint the record is filed under; an IPv6 one held
  // The endpoint that sent the first FIN, of the client's family (set only through
  // conn_set_fin_sender, which holds an IPv6 address).
  IpAddr fin_sender;
  uint16_t fin_sender_port;
  ConnState state;
  int32_t rtt;          // handshake round-trip estimate, ms; 0 = none
  int32_t synacks;      // SYN-ACKs seen for the current attempt
  uint32_t throughput;  // KB/s, set at close in the throughput ordering
  int32_t bucket;       // bucket the connection was counted in; -1 until then
};

enum class Party : uint8_t { NONE, CLIENT, SERVER };

// What a connection record (track/records.h) needs beyond its table record, kept in
// the table's records column under the same number. The table record itself never
// grows for this: the column exists only in runs that ask for connection records.
struct ConnExtra {
  Endpoint server;               // where the SYN went
  int64_t first_syn_us;          // the connection's first SYN
  int64_t pending_first_syn_us;  // the first SYN of a later attempt on the endpoint; 0: none
  int64_t handshake_us;          // the answered SYN to the first SYN-ACK; -1: none yet
  int64_t duration_us;           // the (last) SYN to the first FIN; -1: no FIN yet
  uint32_t client_bytes;         // measured at the first FIN, as the report measures them
  uint32_t server_bytes;
  // SYN-ACKs of the current attempt. The table's own count starts again when a
  // repeated SYN-ACK adopts the attempt it already follows; this one does not.
  int32_t synacks;
  Party closed_by;  // who sent the first FIN
  bool counted;     // the first FIN counted it in the report's totals
};
static_assert(sizeof(ConnExtra) == 56, "a records-column entry is 56 bytes");

// "%#8x%#4x" of an IPv4 address's bytes read as a little-endian number and the
// port: at most "0xffffffff0xffff" and its terminator.
using ClientKey = std::array<char, 20>;
ClientKey client_key(const Endpoint& client);

// A record's place in the store, 128 bytes, so that it fills exactly two cache lines
// of one page.
struct alignas(128) RecordSlot {
  ConnInfo info;
  uint32_t next_free;  // while the slot is free: the next free slot's number
};
static_assert(sizeof(ConnInfo) == 112, "a record is packed");
static_assert(sizeof(RecordSlot) == 128, "a record slot is two cache lines");

// A lookup prepared before the handler makes it: with hundreds of thousands of
// connections open, the memory it needs is fetched ahead (see the packet loop).
struct ConnLookup {
  Endpoint key;
  uint32_t tag;     // the key's EndpointIndex tag
  uint32_t record;  // the record it probably has; EndpointIndex::NONE: probably none
};

// Records by client endpoint, built for millions of open connections.
//
// `index` (an EndpointIndex) gives an endpoint's record number in 10.7 to 21.3
// bytes a record. The record slots (128 bytes each) live in chunks that are
// allocated once and never move: a record keeps its address from insertion to
// erasure, and a freed slot is reused by the next insertion, while it is likely
// still in the cache. `live` has one bit per record number, so the walks read the
// chunks in address order instead of following the index. The records column, when
// kept, has a chunk of entries beside each chunk of slots, opened in the same step,
// so that no handler ever looks for memory for it.
//
// Only where a listing walks the table is the key text produced and sorted.
struct ConnTable {
  static constexpr uint32_t CHUNK_BITS = 16;  // 65 536 slots, 8 MB a chunk
  static constexpr uint32_t CHUNK_SIZE = 1u << CHUNK_BITS;
  static constexpr uint32_t NO_RECORD = EndpointIndex::NONE;

  EndpointIndex index;
  std::vector<RecordSlot*> chunks;
  std::vector<ConnExtra*> extra;  // the records column, a chunk per chunk of slots
  bool keeps_extra = false;
  std::vector<uint64_t> live;
  uint32_t used = 0;               // record numbers handed out so far
  uint32_t free_head = NO_RECORD;  // freed slots, each holding the next one's number
  size_t most = SIZE_MAX;          // the most records it holds (--max-conns)
  ConnLookup hint{};               // see conn_set_hint
  bool has_hint = false;
  AddrPool* pool;                  // where the records' IPv6 addresses are held
  BigAllocLimit* limit;

  explicit ConnTable(AddrPool& pool, BigAllocLimit* limit = nullptr);
  ConnTable(const ConnTable&) = delete;
  ConnTable& operator=(const ConnTable&) = delete;
  ~ConnTable();

  RecordSlot& slot(uint32_t n) const { return chunks[n >> CHUNK_BITS][n & (CHUNK_SIZE - 1)]; }
  ConnInfo* record(uint32_t n) const { return &slot(n).info; }
  ConnExtra& extra_at(uint32_t n) const { return extra[n >> CHUNK_BITS][n & (CHUNK_SIZE - 1)]; }
  bool is_live(uint32_t n) const { return (live[n >> 6] >> (n & 63)) & 1; }
};

// A record and its number, as a lookup found it.
struct ConnRef {
  ConnInfo* info = nullptr;
  uint32_t number = ConnTable::NO_RECORD;
  explicit operator bool() const { return info != nullptr; }
};

// A record returned by conn_find or conn_find_or_insert keeps its address and number
// until it is erased; inserting or erasing other records never moves it.
ConnRef conn_find(ConnTable& t, const Endpoint& client);
// The endpoint's record, inserted (and *inserted set) when it had none: every field
// zero but `client`. None when it had none and the table is full (see
// conn_table_hold_at_most). Throws std::bad_alloc when the table cannot grow; the
// table is then as it was. A record holds its IPv6 addresses in the pool until erased.
ConnRef conn_find_or_insert(ConnTable& t, const Endpoint& client, bool* inserted);
// Bounds the table to `most` records (from 1), before the first insertion; its
// memory is then sized for them and no more.
void conn_table_hold_at_most(ConnTable& t, size_t most);
// Keeps the records column from now on; only before the first insertion, so that
// every record has its entry.
void conn_table_keep_extra(ConnTable& t);
void conn_erase(ConnTable& t, const Endpoint& client);
// Notes the sender of the record's first FIN (replacing an earlier one), and tells
// whether an endpoint is that sender.
void conn_set_fin_sender(ConnTable& t, ConnInfo* rec, const Endpoint& sender);
inline bool conn_fin_sent_by(const ConnInfo& rec, const Endpoint& e) {
  return e.addr == rec.fin_sender && e.port == rec.fin_sender_port;
}
inline size_t conn_count(const ConnTable& t) { return t.index.size; }
// Computes the tag and starts fetching the index line where the search begins.
void conn_prepare(const ConnTable& t, ConnLookup* lookup, const Endpoint& client);
// Once that line has arrived: guesses the record from it and starts fetching that
// (and its records-column entry).
void conn_locate(const ConnTable& t, ConnLookup* lookup);
// The lookups that follow (conn_find, conn_find_or_insert, conn_erase) take the
// prepared lookup's tag when they look for its key, and its record when that is
// still filed under the key: a stale guess costs a comparison, never a wrong
// answer. nullptr: no prepared lookup. Each lookup that asks the index leaves what
// it found as the hint, for the erasure that often follows.
void conn_set_hint(ConnTable& t, const ConnLookup* lookup);
// Every record: the IPv4 ones ordered by key text, then the IPv6 ones ordered by
// address (as 128-bit numbers) and then port.
std::vector<const ConnInfo*> conns_in_key_order(const ConnTable& t);

// Every record with its number, in the order of the numbers.
template <typename F>
void conn_for_each_numbered(const ConnTable& t, F&& visit) {
  for (size_t word = 0; word < t.live.size(); word++) {
    for (uint64_t bits = t.live[word]; bits != 0; bits &= bits - 1) {
      const uint32_t n =
          static_cast<uint32_t>(word * 64 + static_cast<size_t>(__builtin_ctzll(bits)));
      visit(n, static_cast<const ConnInfo&>(*t.record(n)));
    }
  }
}

// Every record, in no particular order.
template <typename F>
void conn_for_each(const ConnTable& t, F&& visit) {
  conn_for_each_numbered(t, [&](uint32_t, const ConnInfo& rec) { visit(rec); });
}
