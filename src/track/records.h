// Connection records: what a connection's record needs beyond its table entry,
// kept in a side store that exists only while records are asked for, and the hook
// through which each record leaves the table for a higher layer to write.
#pragma once

#include <cstdint>
#include <vector>

#include "common/addr.h"
#include "common/log_histogram.h"
#include "common/time.h"
#include "track/conn_table.h"
#include "track/segment.h"

// How a connection ended, or where it stood at the end of the run.
enum class RecordState : uint8_t {
  COMPLETED,   // closed after its first FIN: by the answering FIN or by an RST
  CLOSING,     // one FIN, at the end of the run
  RESET,       // an RST before any FIN: one of the report's resets
  UNANSWERED,  // no SYN-ACK, at the end of the run
  OPEN,        // established, no FIN, at the end of the run
  REPLACED,    // the tracker started over on the endpoint before it closed
};

enum class Party : uint8_t { NONE, CLIENT, SERVER };

// What a table record does not hold, kept beside it under the same number. The
// table record itself never grows for this: the side store exists only with the
// options that need it.
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
static_assert(sizeof(ConnExtra) == 56, "a side-store entry is 56 bytes");

// One connection as it leaves. -1 and Party::NONE mean "not known".
struct ConnRecord {
  Endpoint client;
  Endpoint server;
  int64_t start_us = 0;
  uint64_t syns = 0;
  int32_t synacks = 0;
  int64_t handshake_us = -1;
  RecordState state = RecordState::OPEN;
  Party closed_by = Party::NONE;
  Party reset_by = Party::NONE;
  bool measured = false;  // a first FIN measured the bytes and the duration
  uint32_t client_bytes = 0;
  uint32_t server_bytes = 0;
  int64_t duration_us = -1;
  int64_t fin_to_fin_us = -1;
  bool counted = false;
};

using RecordSink = void (*)(const ConnRecord& record);

struct RecordKeeping {
  bool enabled = false;       // the handlers call the hooks below
  RecordSink sink = nullptr;  // where leaving records go; set by the layer that writes them
  std::vector<ConnExtra*> chunks;  // one per chunk of the table, by record number
  // Records waiting for a SYN-ACK and the SYNs they sent, kept up to date so that
  // an interval row need not walk the table.
  uint64_t unanswered = 0;
  uint64_t unanswered_syns = 0;
  // Handshake times (microseconds) of the SYN-ACKs since the last interval row,
  // kept only when there are interval rows.
  bool interval_rows = false;
  LogHistogram interval_handshakes;

  RecordKeeping() = default;
  RecordKeeping(const RecordKeeping&) = delete;
  RecordKeeping& operator=(const RecordKeeping&) = delete;
  ~RecordKeeping();
};

extern RecordKeeping g_records;

// The hooks. The handlers call them only while g_records.enabled, each at the
// moment named, with the record as it then stands.

// A SYN created the record.
void record_new_syn(const ConnInfo& rec, const Segment& seg);
// A repeated SYN restarted the record (after it counted the SYN); it had been
// established when `was_established`.
void record_repeated_syn(const ConnInfo& rec, const Segment& seg, bool was_established);
// A SYN of a new attempt on an open endpoint, before the record notes it as pending.
void record_pending_syn(const ConnInfo& rec, const Segment& seg);
// A SYN-ACK, before it changes the record; `adopts` when it takes the record over
// for the pending attempt.
void record_synack(const ConnInfo& rec, const Segment& seg, bool adopts);
// The first FIN, after it was measured; `counted` when it passed the byte limits.
void record_first_fin(const ConnInfo& rec, const Segment& seg, bool from_client,
                      uint32_t client_bytes, uint32_t server_bytes, bool counted);
// The record is about to be erased: at an RST, or at the answering FIN
// (`fin_to_fin_us` >= 0).
void record_leaves(const ConnInfo& rec, RecordState state, Party reset_by,
                   int64_t fin_to_fin_us);

// The table opens a chunk of `slots` records: the side store opens its own beside
// it. Throws std::bad_alloc, leaving the store as it was, when memory runs out.
// Record keeping is turned on before the first record, so the two always match.
void records_add_chunk(size_t slots);

// Starts fetching record n's side-store entry, which the hooks will touch: with the
// capture file streaming through the caches, it is rarely still there.
inline void records_prefetch(uint32_t n) {
  const size_t chunk = n >> ConnTable::CHUNK_BITS;
  if (chunk >= g_records.chunks.size()) return;
  const char* entry =
      reinterpret_cast<const char*>(&g_records.chunks[chunk][n & (ConnTable::CHUNK_SIZE - 1)]);
  __builtin_prefetch(entry);
  __builtin_prefetch(entry + sizeof(ConnExtra) - 1);  // an entry may cross a cache line
}

// The server endpoint kept for record n (an IPv6 one holds its address in the pool).
Endpoint record_server(uint32_t n);

// The end of the run: every record still in the table leaves, as unanswered, open or
// closing. The table is left as it is, for the report.
void records_flush_table();

// Frees the side store and turns the hooks off.
void reset_records();
