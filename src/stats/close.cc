#include "stats/close.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "common/addr.h"
#include "common/settings.h"
#include "common/trace.h"
#include "stats/run_stats.h"
#include "track/addr_pool.h"
#include "track/conn_table.h"
#include "track/records.h"

namespace {

// The longest FIN-to-FIN interval taken as a round trip, in milliseconds.
constexpr int32_t MAX_FIN_TO_FIN_MS = 1099;

Party party_of(bool from_client) { return from_client ? Party::CLIENT : Party::SERVER; }

void remove_by_reset(const ConnInfo& rec, bool from_client) {
  const Endpoint client = rec.client;
  if (g_settings.debug >= 2) {
    static constexpr char RESET_FMT[] = "Conn Reset:%s\n\n";
    // An IPv6 client has no key text: its address, then its port as the key shows one.
    static constexpr char RESET6_FMT[] = "Conn Reset:%s%#4x\n\n";
    if (client.family == Family::IPV4)
      TRACE(RESET_FMT, client_key(client).data());
    else
      TRACE(RESET6_FMT, addr_text(client, true).text, static_cast<unsigned>(client.port));
  }
  g_totals.resets++;
  if (g_records.enabled) record_leaves(rec, RecordState::RESET, party_of(from_client), -1);
  conn_erase(client);
}

// The value that places a counted connection in a bucket, in the ordering's unit
// divided by the bucket size, and the duration its bucket sums.
struct BucketValue {
  uint32_t v;  // reinterpreted as signed when the index is formed
  int32_t d;
};

BucketValue bucket_value(ConnInfo& rec, uint32_t client_bytes, uint32_t server_bytes,
                         int32_t duration) {
  const Settings& s = g_settings;
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

void add_to_bucket(ConnInfo& rec, int32_t index, uint32_t client_bytes, uint32_t server_bytes,
                   int32_t d) {
  Bucket& b = g_buckets.rows[index];
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
int32_t filter_value(const ConnInfo& rec, uint32_t client_bytes, uint32_t server_bytes,
                     int32_t duration) {
  switch (g_settings.sort_mode) {
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

void first_fin(ConnInfo& rec, const Segment& seg, bool from_client, uint32_t client_end,
               uint32_t server_end) {
  const Settings& s = g_settings;
  // Sequence numbers used from the SYN up to the close point, modulo 2^32: the SYN
  // itself counts as one.
  const uint32_t client_bytes = client_end - static_cast<uint32_t>(rec.client_isn);
  const uint32_t server_bytes = server_end - static_cast<uint32_t>(rec.server_isn);
  const int32_t duration = msecs_between(rec.syn_time, seg.time);
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
    if (s.filter_from != -1 && g_filters.size() == g_filters.capacity())
      g_filters.reserve(std::max<size_t>(16, 2 * g_filters.capacity()));
    // Nearly every connection took one SYN, the smallest key: the map's first entry,
    // found without a search.
    syn_entry = !g_syn_dist.empty() && g_syn_dist.begin()->first == rec.nsyns
                    ? g_syn_dist.begin()
                    : g_syn_dist.try_emplace(rec.nsyns, 0).first;
  }
  rec.fin_time = seg.time;
  rec.state = CLOSING;
  conn_set_fin_sender(&rec, seg.src);
  if (g_records.enabled)
    record_first_fin(rec, seg, from_client, client_bytes, server_bytes, counted);
  if (!counted) return;

  if (s.debug >= 1) {
    static constexpr char FIN_FMT[] = "%s:%hu F SEQ:%lu(%lu),ACK:%lu(%lu),MSECS:%d\n";
    trace_sender(seg);
    const uint32_t own_end = from_client ? client_end : server_end;
    const uint32_t own_bytes = from_client ? client_bytes : server_bytes;
    const uint32_t peer_end = from_client ? server_end : client_end;
    const uint32_t peer_bytes = from_client ? server_bytes : client_bytes;
    std::fprintf(g_output.out, FIN_FMT, addr_text(seg.dst, true).text, seg.dst.port,
                 static_cast<unsigned long>(own_end), static_cast<unsigned long>(own_bytes),
                 static_cast<unsigned long>(peer_end), static_cast<unsigned long>(peer_bytes),
                 duration);
  }

  g_totals.nconns++;
  g_totals.sum_client_bytes += client_bytes;
  g_totals.sum_server_bytes += server_bytes;
  g_totals.sum_duration += duration;
  g_totals.sum_rtt += rec.rtt;

  const BucketValue bv = bucket_value(rec, client_bytes, server_bytes, duration);
  int32_t index = static_cast<int32_t>(bv.v - s.bucket_base);
  if (index > s.nbuckets) index = s.nbuckets;  // the overflow bucket
  if (index < 0) {
    // A duration wrapped past 24.8 days, or a throughput beyond 2^31 per bucket:
    // the connection stays in the run totals but fits no bucket.
    static constexpr char BAD_BUCKET_FMT[] = "Bad bucket value:%d\n\n";
    TRACE_ERR(BAD_BUCKET_FMT, index);
    rec.bucket = -1;
  } else {
    add_to_bucket(rec, index, client_bytes, server_bytes, bv.d);
  }

  if (s.filter_from != -1) {
    const int32_t w = filter_value(rec, client_bytes, server_bytes, duration);
    if (w >= s.filter_from && (s.filter_to == -1 || w < s.filter_to)) {
      // The listing is printed at the end: its IPv6 addresses are held until then.
      hold_address(seg.src.addr, seg.src.family);
      hold_address(seg.dst.addr, seg.dst.family);
      g_filters.push_back(FilterEntry{seg.src.addr, seg.dst.addr, rec.client.port, seg.src.family});
    }
  }

  if (s.min_syns != 0 && rec.nsyns >= s.min_syns) {
    static constexpr char NSYNS_FMT[] = "NSYNS=%" PRIu64 ":host %s and port %d\n";
    std::fprintf(g_output.out, NSYNS_FMT, rec.nsyns, addr_text(rec.client).text,
                 static_cast<int>(rec.client.port));
  }
  g_totals.sum_syns += rec.nsyns;
  syn_entry->second++;
}

// The answering FIN: its distance from the first one stands in as the round trip of
// a counted connection that has no handshake estimate, if it is short enough to be
// one.
void second_fin(ConnInfo& rec, const Segment& seg) {
  const int32_t ms = msecs_between(rec.fin_time, seg.time);
  if (ms > 0 && ms <= MAX_FIN_TO_FIN_MS && rec.rtt == 0 && rec.bucket >= 0) {
    Bucket& b = g_buckets.rows[rec.bucket];
    b.rtt = static_cast<int32_t>(static_cast<uint32_t>(b.rtt) + static_cast<uint32_t>(ms));
    g_totals.sum_rtt += ms;
  }
  // Timed as the estimate is: from the first FIN's last repeat.
  if (g_records.enabled)
    record_leaves(rec, RecordState::COMPLETED, Party::NONE, usecs_between(rec.fin_time, seg.time));
}

}  // namespace

void handle_close(const Segment& seg, bool reset, uint32_t payload_length) {
  const bool from_client = sent_by_client(seg, g_settings.port);
  const Endpoint& client = from_client ? seg.src : seg.dst;
  // The close point of each side, modulo 2^32: the sender's sequence number moved
  // past its payload, the other side's as acknowledged.
  const uint32_t own_end = seg.seq + payload_length;
  const uint32_t client_end = from_client ? own_end : seg.ack;
  const uint32_t server_end = from_client ? seg.ack : own_end;
  ConnInfo* rec = conn_find(client);
  if (rec == nullptr) return;

  switch (rec->state) {
    case SYN_SEEN:
      if (reset) remove_by_reset(*rec, from_client);
      break;
    case ESTABLISHED:
      if (reset)
        remove_by_reset(*rec, from_client);
      else
        first_fin(*rec, seg, from_client, client_end, server_end);
      break;
    case CLOSING:
      if (reset) {
        // Not a reset in the report: the connection was measured at its first FIN.
        if (g_records.enabled)
          record_leaves(*rec, RecordState::COMPLETED, party_of(from_client), -1);
        conn_erase(client);
      } else if (conn_fin_sent_by(*rec, seg.src)) {
        // The same endpoint again: a retransmitted FIN. The answer is timed from the
        // last one. Ports count: a client and a server on one address (a connection
        // within one host) are told apart by them.
        rec->fin_time = seg.time;
      } else {
        second_fin(*rec, seg);
        conn_erase(client);
      }
      break;
  }
}
