#include "stats/tracker.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "common/addr.h"
#include "common/trace.h"
#include "track/addr_pool.h"

namespace {

// The longest FIN-to-FIN interval taken as a round trip, in milliseconds.
constexpr int32_t MAX_FIN_TO_FIN_MS = 1099;

Party party_of(bool from_client) { return from_client ? Party::CLIENT : Party::SERVER; }

// Microseconds from `from` to `to` for the histograms: a packet older than the SYN
// (a capture's reordered times) counts as no time, not as the far end of the scale.
uint64_t elapsed_us(const Timeval& from, const Timeval& to) {
  const int64_t us = usecs_between(from, to);
  return us > 0 ? static_cast<uint64_t>(us) : 0;
}

// The count of the records in `state`.
uint64_t& count_of(Monitor& m, ConnState state) {
  return state <= SYN_SEEN ? m.states.syn_seen
                           : state == ESTABLISHED ? m.states.established : m.states.closing;
}

// The start shared by the per-connection traces (S, SA, F lines): the sender,
// printed on its own so that each address is formatted separately.
void trace_sender(const Monitor& m, const Segment& seg) {
  static constexpr char SENDER_FMT[] = "%s:%hu > ";
  std::fprintf(m.output.out, SENDER_FMT, addr_text(m.pool, seg.src, true).text, seg.src.port);
}

void trace_syn(const Monitor& m, const Segment& seg, uint64_t isn) {
  trace_sender(m, seg);
  static constexpr char SYN_FMT[] = "%s:%hu S SEQ:%" PRIu64 "\n";
  std::fprintf(m.output.out, SYN_FMT, addr_text(m.pool, seg.dst, true).text, seg.dst.port, isn);
}

// A SYN from a new endpoint while the table is full: counted, not followed.
void untracked_syn(Monitor& m, const Segment& seg) {
  m.untracked.endpoints.add(seg.src, m.pool);  // first: it may find no memory
  m.untracked.syns++;
  m.totals.total_syns++;
  if (m.settings.debug >= 1) trace_syn(m, seg, seg.seq);
}

// What an RST before any FIN tells of the bytes sent, counted from the ISNs as a
// first FIN counts them: the sender's from its own sequence number, the other
// side's from the acknowledgement when the RST carries one. The server's ISN is
// known only once a SYN-ACK established the connection.
ResetBytes reset_bytes(const ConnInfo& rec, const Segment& seg, bool from_client,
                       uint32_t client_end, uint32_t server_end) {
  ResetBytes b;
  const bool acks = (seg.flags & TCP_ACK) != 0;
  const bool server_isn_known = rec.state == ESTABLISHED;
  b.client_known = from_client || acks;
  b.server_known = server_isn_known && (!from_client || acks);
  if (b.client_known) b.client = client_end - static_cast<uint32_t>(rec.client_isn);
  if (b.server_known) b.server = server_end - static_cast<uint32_t>(rec.server_isn);
  return b;
}

void remove_by_reset(Monitor& m, ConnRef ref, bool from_client, const ResetBytes& bytes) {
  const Endpoint client = ref.info->client;
  if (m.settings.debug >= 2) {
    static constexpr char RESET_FMT[] = "Conn Reset:%s\n\n";
    // An IPv6 client has no key text: its address, then its port as the key shows one.
    static constexpr char RESET6_FMT[] = "Conn Reset:%s%#4x\n\n";
    if (client.family == Family::IPV4)
      TRACE(m.output.out, RESET_FMT, client_key(client).data());
    else
      TRACE(m.output.out, RESET6_FMT, addr_text(m.pool, client, true).text,
            static_cast<unsigned>(client.port));
  }
  m.totals.resets++;
  if (ref.info->state == SYN_SEEN && !from_client) m.totals.refused++;
  count_of(m, ref.info->state)--;
  if (m.records.enabled)
    record_leaves(m.records, m.table, ref, RecordState::RESET, party_of(from_client), -1,
                  &bytes);
  conn_erase(m.table, client);
}

// The value that places a counted connection in a bucket, in the ordering's unit
// divided by the bucket size, and the duration its bucket sums.
struct BucketValue {
  uint32_t v;  // reinterpreted as signed when the index is formed
  int32_t d;
};

BucketValue bucket_value(const Settings& s, ConnInfo& rec, uint32_t client_bytes,
                         uint32_t server_bytes, int32_t duration) {
  const uint32_t size = static_cast<uint32_t>(s.bucket_size);
  switch (s.sort_mode) {
    case BY_SERVER_BYTES:
      return {(server_bytes / size) / 1024, duration};
    case BY_CLIENT_BYTES:
      return {(client_bytes / size) / 1024, duration};
    case BY_THROUGHPUT: {
      // Bytes per millisecond, which is KB/s. A connection closed within the same
      // millisecond counts as lasting one, so it still has a throughput.
      const int32_t d = duration == 0 ? 1 : duration;
      rec.throughput = std::max(client_bytes, server_bytes) / static_cast<uint32_t>(d);
      return {rec.throughput / size, d};
    }
    case BY_DURATION:
    default:
      return {static_cast<uint32_t>(duration / s.bucket_size), duration};
  }
}

void add_to_bucket(Monitor& m, ConnInfo& rec, int32_t index, uint32_t client_bytes,
                   uint32_t server_bytes, int32_t d) {
  Bucket& b = m.buckets[static_cast<size_t>(index)];
  b.count++;
  b.client_bytes += client_bytes;
  b.server_bytes += server_bytes;
  // The bucket's round-trip sum is 32 bits wide and wraps as such.
  b.rtt = static_cast<int32_t>(static_cast<uint32_t>(b.rtt) + static_cast<uint32_t>(rec.rtt));
  b.duration += d;
  // Per-connection throughput term: both counts modulo 2^32 over the duration plus
  // one, all unsigned 32-bit. A duration wrapped to exactly -1 would make the
  // divisor 0; such a connection adds nothing rather than crash the run.
  const uint32_t bytes = client_bytes + server_bytes;
  const uint32_t divisor = static_cast<uint32_t>(d) + 1;
  b.throughput += divisor == 0 ? 0 : bytes / divisor;
  rec.bucket = index;
}

// The value -D selects on, in the ordering's own unit (not divided by the bucket
// size, not reduced by the first bucket's base).
int32_t filter_value(const Settings& s, const ConnInfo& rec, uint32_t client_bytes,
                     uint32_t server_bytes, int32_t duration) {
  switch (s.sort_mode) {
    case BY_SERVER_BYTES:
      return static_cast<int32_t>(server_bytes / 1024);
    case BY_CLIENT_BYTES:
      return static_cast<int32_t>(client_bytes / 1024);
    case BY_THROUGHPUT:
      return static_cast<int32_t>(rec.throughput);
    case BY_DURATION:
    default:
      return duration;
  }
}

void first_fin(Monitor& m, ConnRef ref, const Segment& seg, bool from_client,
               uint32_t client_end, uint32_t server_end) {
  const Settings& s = m.settings;
  ConnInfo& rec = *ref.info;
  // Sequence numbers used from the SYN up to the close point, modulo 2^32: the SYN
  // itself counts as one.
  const uint32_t client_bytes = client_end - static_cast<uint32_t>(rec.client_isn);
  const uint32_t server_bytes = server_end - static_cast<uint32_t>(rec.server_isn);
  const int32_t duration = traced_msecs_between(m.output.out, s.debug, rec.syn_time, seg.time);
  // Limits are inclusive; a negative limit was widened with its sign, so -X -1 never
  // rejects and -Y -1 rejects everything.
  const bool counted = !(s.max_server_bytes != 0 && server_bytes > s.max_server_bytes) &&
                       server_bytes >= s.min_server_bytes &&
                       !(s.max_client_bytes != 0 && client_bytes > s.max_client_bytes) &&
                       client_bytes >= s.min_client_bytes;
  // The memory a counted connection needs is taken before anything changes: when it
  // cannot be had, the segment leaves every record as it was.
  SynDistribution::iterator syn_entry;
  if (counted) {
    if (s.filter_from != -1 && m.filters.size() == m.filters.capacity())
      m.filters.reserve(std::max<size_t>(16, 2 * m.filters.capacity()));
    // Nearly every connection took one SYN, the smallest key: the map's first entry,
    // found without a search.
    syn_entry = !m.syn_dist.empty() && m.syn_dist.begin()->first == rec.nsyns
                    ? m.syn_dist.begin()
                    : m.syn_dist.try_emplace(rec.nsyns, 0).first;
  }
  rec.fin_time = seg.time;
  rec.state = CLOSING;
  m.states.established--;
  m.states.closing++;
  conn_set_fin_sender(m.table, &rec, seg.src);
  if (m.records.enabled)
    record_first_fin(m.table, ref, seg, from_client, client_bytes, server_bytes, counted);
  if (!counted) return;

  if (s.debug >= 1) {
    static constexpr char FIN_FMT[] = "%s:%hu F SEQ:%lu(%lu),ACK:%lu(%lu),MSECS:%d\n";
    trace_sender(m, seg);
    const uint32_t own_end = from_client ? client_end : server_end;
    const uint32_t own_bytes = from_client ? client_bytes : server_bytes;
    const uint32_t peer_end = from_client ? server_end : client_end;
    const uint32_t peer_bytes = from_client ? server_bytes : client_bytes;
    std::fprintf(m.output.out, FIN_FMT, addr_text(m.pool, seg.dst, true).text, seg.dst.port,
                 static_cast<unsigned long>(own_end), static_cast<unsigned long>(own_bytes),
                 static_cast<unsigned long>(peer_end), static_cast<unsigned long>(peer_bytes),
                 duration);
  }

  const uint64_t duration_us = elapsed_us(rec.syn_time, seg.time);
  if (m.records.interval_rows) m.records.interval_durations.add(duration_us);
  if (m.exposes) {
    m.exposed.duration_us.add(duration_us);
    m.exposed.client_bytes.add(client_bytes);
    m.exposed.server_bytes.add(server_bytes);
  }
  RunTotals& t = m.totals;
  t.nconns++;
  t.sum_client_bytes += client_bytes;
  t.sum_server_bytes += server_bytes;
  t.sum_duration += duration;
  t.sum_rtt += rec.rtt;

  const BucketValue bv = bucket_value(s, rec, client_bytes, server_bytes, duration);
  int32_t index = static_cast<int32_t>(bv.v - s.bucket_base);
  if (index > s.nbuckets) index = s.nbuckets;  // the overflow bucket
  if (index < 0) {
    // A duration wrapped past 24.8 days, or a throughput beyond 2^31 per bucket:
    // the connection stays in the run totals but fits no bucket.
    static constexpr char BAD_BUCKET_FMT[] = "Bad bucket value:%d\n\n";
    TRACE(m.output.err, BAD_BUCKET_FMT, index);
    rec.bucket = -1;
  } else {
    add_to_bucket(m, rec, index, client_bytes, server_bytes, bv.d);
  }

  if (s.filter_from != -1) {
    const int32_t w = filter_value(s, rec, client_bytes, server_bytes, duration);
    if (w >= s.filter_from && (s.filter_to == -1 || w < s.filter_to)) {
      // The listing is printed at the end: its IPv6 addresses are held until then.
      hold_address(m.pool, seg.src.addr, seg.src.family);
      hold_address(m.pool, seg.dst.addr, seg.dst.family);
      m.filters.push_back(FilterEntry{seg.src.addr, seg.dst.addr, rec.client.port, seg.src.family});
    }
  }

  if (s.min_syns != 0 && rec.nsyns >= s.min_syns) {
    static constexpr char NSYNS_FMT[] = "NSYNS=%" PRIu64 ":host %s and port %d\n";
    std::fprintf(m.output.out, NSYNS_FMT, rec.nsyns, addr_text(m.pool, rec.client).text,
                 static_cast<int>(rec.client.port));
  }
  t.sum_syns += rec.nsyns;
  syn_entry->second++;
}

// The answering FIN: its distance from the first one stands in as the round trip of
// a counted connection that has no handshake estimate, if it is short enough to be
// one.
void second_fin(Monitor& m, ConnRef ref, const Segment& seg) {
  ConnInfo& rec = *ref.info;
  const int32_t ms = traced_msecs_between(m.output.out, m.settings.debug, rec.fin_time, seg.time);
  if (ms > 0 && ms <= MAX_FIN_TO_FIN_MS && rec.rtt == 0 && rec.bucket >= 0) {
    Bucket& b = m.buckets[static_cast<size_t>(rec.bucket)];
    b.rtt = static_cast<int32_t>(static_cast<uint32_t>(b.rtt) + static_cast<uint32_t>(ms));
    m.totals.sum_rtt += ms;
  }
  // Timed as the estimate is: from the first FIN's last repeat.
  if (m.records.enabled)
    record_leaves(m.records, m.table, ref, RecordState::COMPLETED, Party::NONE,
                  usecs_between(rec.fin_time, seg.time));
}

}  // namespace

void handle_syn(Monitor& m, const Segment& seg) {
  // Whoever sends a SYN without ACK is the client; the ports are not compared with
  // the monitored one.
  bool created;
  const ConnRef ref = conn_find_or_insert(m.table, seg.src, &created);
  if (!ref) {
    untracked_syn(m, seg);
    return;
  }
  ConnInfo* rec = ref.info;
  if (created) {
    rec->nsyns = 1;
    rec->bucket = -1;
    rec->state = SYN_SEEN;
    rec->syn_time = seg.time;
    rec->client_isn = seg.seq;
    rec->rtt = 0;
    rec->synacks = 0;
    rec->pending_syn_time = Timeval{};
    m.totals.total_syns++;
    m.states.syn_seen++;
    if (m.records.enabled) record_new_syn(m.records, m.table, ref, seg);
  } else if (rec->state == SYN_SEEN || (rec->state == ESTABLISHED && rec->client_isn == seg.seq)) {
    // A repeated SYN: the client is still trying the same connection.
    const bool was_established = rec->state == ESTABLISHED;
    if (was_established) {
      m.states.established--;
      m.states.syn_seen++;
    }
    m.totals.dup_syns++;
    m.totals.total_syns++;
    rec->nsyns++;
    rec->syn_time = seg.time;
    rec->client_isn = seg.seq;
    rec->state = SYN_SEEN;
    rec->rtt = 0;
    rec->synacks = 0;
    if (m.records.enabled) record_repeated_syn(m.records, m.table, ref, seg, was_established);
  } else {
    // A new attempt on an endpoint whose connection is still open or closing: the
    // server's SYN-ACK will tell whether it takes over the record.
    if (m.records.enabled) record_pending_syn(m.table, ref, seg);
    rec->pending_isn = seg.seq;
    rec->pending_syn_time = seg.time;
  }
  if (m.settings.debug >= 1) trace_syn(m, seg, rec->client_isn);
}

void handle_synack(Monitor& m, const Segment& seg) {
  const ConnRef ref = conn_find(m.table, client_endpoint(seg, m.port));
  if (!ref) return;
  ConnInfo* rec = ref.info;

  // A pending attempt is only recognised by a time with both parts non-zero.
  const bool pending = rec->state == ESTABLISHED && rec->pending_syn_time.sec != 0 &&
                       rec->pending_syn_time.usec != 0;
  if (pending && seg.ack != static_cast<uint32_t>(rec->pending_isn + 1)) {
    if (m.settings.debug >= 1) {
      trace_sender(m, seg);
      static constexpr char DROPPED_FMT[] = "%s:%hu SA SEQ:%lu,DROPPED\n";
      std::fprintf(m.output.out, DROPPED_FMT, addr_text(m.pool, seg.dst, true).text,
                   seg.dst.port, static_cast<unsigned long>(seg.seq));
    }
    return;
  }
  if (m.records.enabled) record_synack(m.records, m.table, ref, seg, pending);
  if (pending) {
    // The server answered the new attempt: the record follows it from now on.
    rec->syn_time = rec->pending_syn_time;
    rec->client_isn = rec->pending_isn;
    rec->synacks = 0;
  }

  if (pending || rec->state != ESTABLISHED) {
    // This SYN-ACK establishes the attempt (the first answer, an answer to a closing
    // connection, or one that adopts a pending attempt): the server's bytes are
    // counted from its sequence number.
    rec->server_isn = seg.seq;
    rec->established_isn = seg.seq;
  } else if (seg.ack == static_cast<uint32_t>(rec->client_isn + 1)) {
    // A further answer to the attempt already established. With another ISN it
    // would measure the server's FIN from a number the connection never used, and
    // the count would wrap to billions: the bytes stay counted from the ISN that
    // established it. (A retransmission carries that ISN anyway.)
    rec->server_isn = rec->established_isn;
  } else {
    rec->server_isn = seg.seq;
  }
  const int32_t ms = traced_msecs_between(m.output.out, m.settings.debug, rec->syn_time, seg.time);
  rec->synacks++;
  // The SYN-ACK that answers an attempt: its handshake time, from the SYN it answers.
  if (m.exposes && (rec->state == SYN_SEEN || pending))
    m.exposed.handshake_us.add(elapsed_us(rec->syn_time, seg.time));
  if (m.settings.debug >= 1) {
    trace_sender(m, seg);
    // The segment's own sequence number, whichever ISN the bytes are counted from.
    static constexpr char SYNACK_FMT[] = "%s:%hu SA SEQ:%lu,MSECS:%d\n";
    std::fprintf(m.output.out, SYNACK_FMT, addr_text(m.pool, seg.dst, true).text, seg.dst.port,
                 static_cast<unsigned long>(seg.seq), ms);
  }

  if (rec->state == SYN_SEEN) {
    if (m.rtt_enabled) {
      rec->rtt = ms;
    } else if (m.host.holds(m.pool, seg.dst)) {
      // The SYN-ACK is addressed to this host, so this host is the client and the
      // SYN to SYN-ACK time is a true round trip: estimation can be trusted.
      static constexpr char RTT_ON_FMT[] = "RTT Estimation enabled.\n";
      std::fflush(m.output.out);
      std::fprintf(m.output.err, RTT_ON_FMT);
      m.rtt_enabled = true;
      rec->rtt = ms;
    }
  }
  if (rec->state != ESTABLISHED) {
    count_of(m, rec->state)--;
    m.states.established++;
  }
  rec->state = ESTABLISHED;
}

void handle_close(Monitor& m, const Segment& seg, bool reset, uint32_t payload_length) {
  const bool from_client = sent_by_client(seg, m.port);
  const Endpoint& client = from_client ? seg.src : seg.dst;
  // The close point of each side, modulo 2^32: the sender's sequence number moved
  // past its payload, the other side's as acknowledged.
  const uint32_t own_end = seg.seq + payload_length;
  const uint32_t client_end = from_client ? own_end : seg.ack;
  const uint32_t server_end = from_client ? seg.ack : own_end;
  const ConnRef ref = conn_find(m.table, client);
  if (!ref) return;
  ConnInfo* rec = ref.info;

  switch (rec->state) {
    case SYN_SEEN:
      if (reset)
        remove_by_reset(m, ref, from_client,
                        reset_bytes(*rec, seg, from_client, client_end, server_end));
      break;
    case ESTABLISHED:
      if (reset)
        remove_by_reset(m, ref, from_client,
                        reset_bytes(*rec, seg, from_client, client_end, server_end));
      else
        first_fin(m, ref, seg, from_client, client_end, server_end);
      break;
    case CLOSING:
      if (reset) {
        // Not a reset in the report: the connection was measured at its first FIN.
        if (m.records.enabled)
          record_leaves(m.records, m.table, ref, RecordState::COMPLETED, party_of(from_client),
                        -1);
        m.states.closing--;
        conn_erase(m.table, client);
      } else if (conn_fin_sent_by(*rec, seg.src)) {
        // The same endpoint again: a retransmitted FIN. The answer is timed from the
        // last one. Ports count: a client and a server on one address (a connection
        // within one host) are told apart by them.
        rec->fin_time = seg.time;
      } else {
        second_fin(m, ref, seg);
        m.states.closing--;
        conn_erase(m.table, client);
      }
      break;
  }
}
