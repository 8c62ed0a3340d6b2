#include "track/records.h"

#include "track/addr_pool.h"

namespace {

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
void set_server(ConnTable& t, ConnExtra& x, const Endpoint& server) {
  hold_address(*t.pool, server.addr, server.family);
  release_address(*t.pool, x.server.addr, x.server.family);
  x.server = server;
}

void start_connection(ConnTable& t, ConnExtra& x, int64_t first_syn_us, const Endpoint& server) {
  set_server(t, x, server);
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
  r.client_bytes_known = r.measured;
  r.server_bytes_known = r.measured;
  r.client_bytes = x.client_bytes;
  r.server_bytes = x.server_bytes;
  r.duration_us = x.duration_us;
  r.counted = x.counted;
  return r;
}

void emit(const RecordKeeping& k, const ConnRecord& r) {
  if (k.sink) k.sink(r);
}

// The record no longer waits for a SYN-ACK (answered or gone).
void leaves_waiting(RecordKeeping& k, const ConnInfo& rec) {
  k.unanswered--;
  k.unanswered_syns -= rec.nsyns;
}

}  // namespace

void records_start(RecordKeeping& k, ConnTable& t) {
  conn_table_keep_extra(t);
  k.enabled = t.keeps_extra;
}

void record_new_syn(RecordKeeping& k, ConnTable& t, ConnRef rec, const Segment& seg) {
  ConnExtra& x = t.extra_at(rec.number);
  // What the entry held before belongs to a record that has left (and let go of
  // its server then), or to none.
  x.server = Endpoint{};
  start_connection(t, x, usecs_of(seg.time), seg.dst);
  k.unanswered++;
  k.unanswered_syns++;
}

void record_repeated_syn(RecordKeeping& k, ConnTable& t, ConnRef rec, const Segment& seg,
                         bool was_established) {
  ConnExtra& x = t.extra_at(rec.number);
  // The same connection tries again: it keeps its first SYN, and waits for a new
  // handshake.
  set_server(t, x, seg.dst);
  x.handshake_us = -1;
  x.synacks = 0;
  if (was_established) {
    k.unanswered++;
    k.unanswered_syns += rec.info->nsyns;
  } else {
    k.unanswered_syns++;
  }
}

void record_pending_syn(ConnTable& t, ConnRef rec, const Segment& seg) {
  ConnExtra& x = t.extra_at(rec.number);
  const ConnInfo& info = *rec.info;
  // The tracker recognises a pending attempt only by a time with both parts
  // non-zero; a SYN with another sequence number is another attempt. A repeat of
  // the pending SYN keeps the attempt's first time.
  const bool pending = info.pending_syn_time.sec != 0 && info.pending_syn_time.usec != 0;
  if (!pending || info.pending_isn != seg.seq || x.pending_first_syn_us == 0)
    x.pending_first_syn_us = usecs_of(seg.time);
}

void record_synack(RecordKeeping& k, ConnTable& t, ConnRef rec, const Segment& seg, bool adopts) {
  ConnExtra& x = t.extra_at(rec.number);
  const ConnInfo& info = *rec.info;
  // The tracker keeps the pending attempt after taking it over, so a repeated
  // SYN-ACK of the new connection takes it over once more: nothing is replaced.
  const bool again = adopts && info.client_isn == info.pending_isn &&
                     info.syn_time.sec == info.pending_syn_time.sec &&
                     info.syn_time.usec == info.pending_syn_time.usec;
  if (adopts && !again) {
    // The port was reused: the old connection leaves, the answered attempt takes
    // its place, with the server that answered it.
    emit(k, make_record(info, x, RecordState::REPLACED));
    start_connection(t, x,
                     x.pending_first_syn_us != 0 ? x.pending_first_syn_us
                                                 : usecs_of(info.pending_syn_time),
                     seg.src);
  } else if (info.state == CLOSING) {
    // A SYN-ACK puts a closing connection back to established, and its next FIN
    // measures and counts it again: what was measured so far leaves now, so that no
    // record stands for two counted connections.
    emit(k, make_record(info, x, RecordState::REPLACED));
    clear_close(x);
  }
  if (x.synacks == 0) {
    // The first SYN-ACK of the attempt answers its last SYN.
    x.handshake_us = usecs_between(adopts ? info.pending_syn_time : info.syn_time, seg.time);
    if (k.interval_rows) k.interval_handshakes.add(static_cast<uint64_t>(x.handshake_us));
  }
  x.synacks++;
  if (info.state == SYN_SEEN) leaves_waiting(k, info);
}

void record_first_fin(ConnTable& t, ConnRef rec, const Segment& seg, bool from_client,
                      uint32_t client_bytes, uint32_t server_bytes, bool counted) {
  ConnExtra& x = t.extra_at(rec.number);
  x.duration_us = usecs_between(rec.info->syn_time, seg.time);
  x.client_bytes = client_bytes;
  x.server_bytes = server_bytes;
  x.closed_by = from_client ? Party::CLIENT : Party::SERVER;
  x.counted = counted;
}

void record_leaves(RecordKeeping& k, ConnTable& t, ConnRef rec, RecordState state,
                   Party reset_by, int64_t fin_to_fin_us, const ResetBytes* bytes) {
  ConnExtra& x = t.extra_at(rec.number);
  ConnRecord r = make_record(*rec.info, x, state);
  r.reset_by = reset_by;
  if (bytes != nullptr && !r.measured) {
    r.client_bytes_known = bytes->client_known;
    r.server_bytes_known = bytes->server_known;
    r.client_bytes = bytes->client_known ? bytes->client : 0;
    r.server_bytes = bytes->server_known ? bytes->server : 0;
  }
  r.fin_to_fin_us = fin_to_fin_us;
  if (rec.info->state <= SYN_SEEN) leaves_waiting(k, *rec.info);
  emit(k, r);
  release_address(*t.pool, x.server.addr, x.server.family);
  x.server = Endpoint{};
}

void records_flush_table(RecordKeeping& k, const ConnTable& t) {
  conn_for_each_numbered(t, [&](uint32_t n, const ConnInfo& rec) {
    const RecordState state = rec.state <= SYN_SEEN     ? RecordState::UNANSWERED
                              : rec.state == ESTABLISHED ? RecordState::OPEN
                                                         : RecordState::CLOSING;
    emit(k, make_record(rec, t.extra_at(n), state));
  });
}
