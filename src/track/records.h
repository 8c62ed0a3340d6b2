// Connection records: how a connection's record is kept up to date in the table's
// records column as the tracker moves it, and how it leaves the table for a higher
// layer to write.
#pragma once

#include <cstdint>
#include <functional>

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
  // It could no longer change a figure and left the table (an established
  // connection older than --max-age, a closing one whose answering FIN never came).
  EXPIRED,
};
constexpr size_t RECORD_STATES = 7;

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
  // Which byte counts are known: both once a first FIN measured them; at an RST
  // before any FIN, those its sequence and acknowledgement numbers give.
  bool client_bytes_known = false;
  bool server_bytes_known = false;
  uint32_t client_bytes = 0;
  uint32_t server_bytes = 0;
  int64_t duration_us = -1;
  int64_t fin_to_fin_us = -1;
  bool counted = false;
};

// Where leaving records go; set by the layer that writes them.
using RecordSink = std::function<void(const ConnRecord& record)>;

// A monitor's record keeping: on or off for the whole run, the sink, and the counts
// an interval row reads without walking the table.
struct RecordKeeping {
  bool enabled = false;  // the handlers call the hooks below
  RecordSink sink;
  // Records waiting for a SYN-ACK and the SYNs they sent.
  uint64_t unanswered = 0;
  uint64_t unanswered_syns = 0;
  // Handshake times (microseconds) of the SYN-ACKs since the last interval row,
  // kept only when there are interval rows.
  bool interval_rows = false;
  LogHistogram interval_handshakes;
  LogHistogram interval_durations;  // of the connections counted since the last row
};

// Turns record keeping on for `t`, before its first record: the table keeps the
// records column from then on.
void records_start(RecordKeeping& k, ConnTable& t);

// The hooks. The handlers call them only while k.enabled, each at the moment named,
// with the record as it then stands.

// A SYN created the record.
void record_new_syn(RecordKeeping& k, ConnTable& t, ConnRef rec, const Segment& seg);
// A repeated SYN restarted the record (after it counted the SYN); it had been
// established when `was_established`.
void record_repeated_syn(RecordKeeping& k, ConnTable& t, ConnRef rec, const Segment& seg,
                         bool was_established);
// A SYN of a new attempt on an open endpoint, before the record notes it as pending.
void record_pending_syn(ConnTable& t, ConnRef rec, const Segment& seg);
// A SYN-ACK, before it changes the record; `adopts` when it takes the record over
// for the pending attempt.
void record_synack(RecordKeeping& k, ConnTable& t, ConnRef rec, const Segment& seg, bool adopts);
// The first FIN, after it was measured; `counted` when it passed the byte limits.
void record_first_fin(ConnTable& t, ConnRef rec, const Segment& seg, bool from_client,
                      uint32_t client_bytes, uint32_t server_bytes, bool counted);
// The bytes each side had sent when an RST ended a connection before any FIN, as
// far as the RST tells them: counted from the ISNs as a first FIN counts them.
struct ResetBytes {
  bool client_known = false;
  bool server_known = false;
  uint32_t client = 0;
  uint32_t server = 0;
};

// The record is about to be erased: at an RST (with what it tells of the bytes when
// it came before any FIN), or at the answering FIN (`fin_to_fin_us` >= 0).
void record_leaves(RecordKeeping& k, ConnTable& t, ConnRef rec, RecordState state,
                   Party reset_by, int64_t fin_to_fin_us, const ResetBytes* bytes = nullptr);

// The server endpoint kept for record n (an IPv6 one holds its address in the pool).
inline Endpoint record_server(const ConnTable& t, uint32_t n) { return t.extra_at(n).server; }

// The end of the run: every record still in the table leaves, as unanswered, open or
// closing. The table is left as it is, for the report.
void records_flush_table(RecordKeeping& k, const ConnTable& t);
