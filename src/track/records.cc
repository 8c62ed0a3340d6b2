#include "track/records.h"

#include "common/big_alloc.h"
#include "track/addr_pool.h"

RecordKeeping g_records;

namespace {

void free_chunks(RecordKeeping& k) {
  for (ConnExtra* chunk : k.chunks) big_free(chunk);
  k.chunks = {};
}

// The store grows with the table (records_add_chunk). A record it has no entry for
// (not in the table, or there before record keeping began) gets a scratch entry.
ConnExtra g_stranger;

ConnExtra& extra_at(uint32_t n) {
  const size_t chunk = n >> ConnTable::CHUNK_BITS;
  if (n == ConnTable::NO_RECORD || chunk >= g_records.chunks.size()) {
    g_stranger = ConnExtra{};
    return g_stranger;
  }
  return g_records.chunks[chunk][n & (ConnTable::CHUNK_SIZE - 1)];
}

ConnExtra& extra_of(const ConnInfo& rec) { return extra_at(conn_number(&rec)); }

void clear_close(ConnExtra& x) {
  x.duration_us = -1;
  x.client_bytes = 0;
  x.server_bytes = 0;
  x.closed_by = Party::NONE;
  x.counted = false;
}

// The entry holds its server's address, as the table record holds its client's: an
// IPv6 address is kept in the address pool only while something holds it, and a
// record leaving the table still prints its server.
void set_server(ConnExtra& x, const Endpoint& server) {
  if (&x == &g_stranger) {  // forgotten at the next use: it holds nothing
    x.server = server;
    return;
  }
  hold_address(server.addr, server.family);
  release_address(x.server.addr, x.server.family);
  x.server = server;
}

void start_connection(ConnExtra& x, int64_t first_syn_us, const Endpoint& server) {
  set_server(x, server);
  x.first_syn_us = first_syn_us;
  x.pending_first_syn_us = 0;
  x.handshake_us = -1;
  x.synacks = 0;
  clear_close(x);
}

ConnRecord make_record(const ConnInfo& rec, const ConnExtra& x, RecordState state) {
  ConnRecord r;
  r.client = rec.client;
  r.server = x.server;
  r.start_us = x.first_syn_us;
  r.syns = rec.nsyns;
  r.synacks = x.synacks;
  r.handshake_us = x.handshake_us;
  r.state = state;
  r.closed_by = x.closed_by;
  r.measured = x.duration_us >= 0;
  r.client_bytes = x.client_bytes;
  r.server_bytes = x.server_bytes;
  r.duration_us = x.duration_us;
  r.counted = x.counted;
  return r;
}

void emit(const ConnRecord& r) {
  if (g_records.sink != nullptr) g_records.sink(r);
}

// The record no longer waits for a SYN-ACK (answered or gone).
void leaves_waiting(const ConnInfo& rec) {
  g_records.unanswered--;
  g_records.unanswered_syns -= rec.nsyns;
}

}  // namespace

RecordKeeping::~RecordKeeping() { free_chunks(*this); }

void records_add_chunk(size_t slots) {
  RecordKeeping& k = g_records;
  k.chunks.reserve(k.chunks.size() + 1);
  k.chunks.push_back(static_cast<ConnExtra*>(
      big_allocate(sizeof(ConnExtra) * slots, slots == ConnTable::CHUNK_SIZE)));
}

void record_new_syn(const ConnInfo& rec, const Segment& seg) {
  ConnExtra& x = extra_of(rec);
  // What the slot held before belongs to a record that has left (and let go of
  // its server then), or to none.
  x.server = Endpoint{};
  start_connection(x, usecs_of(seg.time), seg.dst);
  g_records.unanswered++;
  g_records.unanswered_syns++;
}

void record_repeated_syn(const ConnInfo& rec, const Segment& seg, bool was_established) {
  ConnExtra& x = extra_of(rec);
  // The same connection tries again: it keeps its first SYN, and waits for a new
  // handshake.
  set_server(x, seg.dst);
  x.handshake_us = -1;
  x.synacks = 0;
  if (was_established) {
    g_records.unanswered++;
    g_records.unanswered_syns += rec.nsyns;
  } else {
    g_records.unanswered_syns++;
  }
}

void record_pending_syn(const ConnInfo& rec, const Segment& seg) {
  ConnExtra& x = extra_of(rec);
  // The tracker recognises a pending attempt only by a time with both parts
  // non-zero; a SYN with another sequence number is another attempt. A repeat of
  // the pending SYN keeps the attempt's first time.
  const bool pending = rec.pending_syn_time.sec != 0 && rec.pending_syn_time.usec != 0;
  if (!pending || rec.pending_isn != seg.seq || x.pending_first_syn_us == 0)
    x.pending_first_syn_us = usecs_of(seg.time);
}

void record_synack(const ConnInfo& rec, const Segment& seg, bool adopts) {
  ConnExtra& x = extra_of(rec);
  // The tracker keeps the pending attempt after taking it over, so a repeated
  // SYN-ACK of the new connection takes it over once more: nothing is replaced.
  const bool again = adopts && rec.client_isn == rec.pending_isn &&
                     rec.syn_time.sec == rec.pending_syn_time.sec &&
                     rec.syn_time.usec == rec.pending_syn_time.usec;
  if (adopts && !again) {
    // The port was reused: the old connection leaves, the answered attempt takes
    // its place, with the server that answered it.
    emit(make_record(rec, x, RecordState::REPLACED));
    start_connection(x,
                     x.pending_first_syn_us != 0 ? x.pending_first_syn_us
                                                 : usecs_of(rec.pending_syn_time),
                     seg.src);
  } else if (rec.state == CLOSING) {
    // A SYN-ACK puts a closing connection back to established, and its next FIN
    // measures and counts it again: what was measured so far leaves now, so that no
    // record stands for two counted connections.
    emit(make_record(rec, x, RecordState::REPLACED));
    clear_close(x);
  }
  if (x.synacks == 0) {
    // The first SYN-ACK of the attempt answers its last SYN.
    x.handshake_us = usecs_between(adopts ? rec.pending_syn_time : rec.syn_time, seg.time);
    if (g_records.interval_rows)
      g_records.interval_handshakes.add(static_cast<uint64_t>(x.handshake_us));
  }
  x.synacks++;
  if (rec.state == SYN_SEEN) leaves_waiting(rec);
}

void record_first_fin(const ConnInfo& rec, const Segment& seg, bool from_client,
                      uint32_t client_bytes, uint32_t server_bytes, bool counted) {
  ConnExtra& x = extra_of(rec);
  x.duration_us = usecs_between(rec.syn_time, seg.time);
  x.client_bytes = client_bytes;
  x.server_bytes = server_bytes;
  x.closed_by = from_client ? Party::CLIENT : Party::SERVER;
  x.counted = counted;
}

void record_leaves(const ConnInfo& rec, RecordState state, Party reset_by,
                   int64_t fin_to_fin_us) {
  ConnExtra& x = extra_of(rec);
  ConnRecord r = make_record(rec, x, state);
  r.reset_by = reset_by;
  r.fin_to_fin_us = fin_to_fin_us;
  if (rec.state <= SYN_SEEN) leaves_waiting(rec);
  emit(r);
  if (&x != &g_stranger) release_address(x.server.addr, x.server.family);
  x.server = Endpoint{};
}

Endpoint record_server(uint32_t n) { return extra_at(n).server; }

void records_flush_table() {
  conn_for_each_numbered([](uint32_t n, const ConnInfo& rec) {
    const RecordState state = rec.state <= SYN_SEEN     ? RecordState::UNANSWERED
                              : rec.state == ESTABLISHED ? RecordState::OPEN
                                                         : RecordState::CLOSING;
    emit(make_record(rec, extra_at(n), state));
  });
}

void reset_records() {
  free_chunks(g_records);
  g_records.enabled = false;
  g_records.sink = nullptr;
  g_records.unanswered = 0;
  g_records.unanswered_syns = 0;
  g_records.interval_rows = false;
  g_records.interval_handshakes = LogHistogram{};
}
