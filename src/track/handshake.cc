#include "track/handshake.h"

#include <cinttypes>
#include <cstdio>

#include "common/settings.h"
#include "common/trace.h"
#include "track/addr_pool.h"
#include "track/conn_table.h"
#include "track/records.h"

TrackerState g_tracker;

namespace {

void trace_syn(const Segment& seg, uint64_t isn) {
  trace_sender(seg);
  static constexpr char SYN_FMT[] = "%s:%hu S SEQ:%" PRIu64 "\n";
  std::fprintf(g_output.out, SYN_FMT, addr_text(seg.dst, true).text, seg.dst.port, isn);
}

// A SYN from a new endpoint while the table is full: counted, not followed.
void untracked_syn(const Segment& seg) {
  g_tracker.untracked_endpoints.add(seg.src);  // first: it may find no memory
  g_tracker.untracked_syns++;
  g_tracker.total_syns++;
  if (g_settings.debug >= 1) trace_syn(seg, seg.seq);
}

bool addressed_to_this_host(const Endpoint& dst) {
  if (dst.family == Family::IPV4) return g_tracker.local_addrs.count(dst.addr) != 0;
  return g_tracker.local_addrs6.count(pool_address(dst.addr.raw)) != 0;
}

}  // namespace

void handle_syn(const Segment& seg) {
  // Whoever sends a SYN without ACK is the client; the ports are not compared with
  // the monitored one.
  bool created;
  ConnInfo* rec = conn_find_or_insert(seg.src, &created);
  if (rec == nullptr) {
    untracked_syn(seg);
    return;
  }
  if (created) {
    rec->nsyns = 1;
    rec->bucket = -1;
    rec->state = SYN_SEEN;
    rec->syn_time = seg.time;
    rec->client_isn = seg.seq;
    rec->rtt = 0;
    rec->synacks = 0;
    rec->pending_syn_time = Timeval{};
    g_tracker.total_syns++;
    if (g_records.enabled) record_new_syn(*rec, seg);
  } else if (rec->state == SYN_SEEN || (rec->state == ESTABLISHED && rec->client_isn == seg.seq)) {
    // A repeated SYN: the client is still trying the same connection.
    const bool was_established = rec->state == ESTABLISHED;
    g_tracker.dup_syns++;
    g_tracker.total_syns++;
    rec->nsyns++;
    rec->syn_time = seg.time;
    rec->client_isn = seg.seq;
    rec->state = SYN_SEEN;
    rec->rtt = 0;
    rec->synacks = 0;
    if (g_records.enabled) record_repeated_syn(*rec, seg, was_established);
  } else {
    // A new attempt on an endpoint whose connection is still open or closing: the
    // server's SYN-ACK will tell whether it takes over the record.
    if (g_records.enabled) record_pending_syn(*rec, seg);
    rec->pending_isn = seg.seq;
    rec->pending_syn_time = seg.time;
  }
  if (g_settings.debug >= 1) trace_syn(seg, rec->client_isn);
}

void handle_synack(const Segment& seg) {
  ConnInfo* rec = conn_find(client_endpoint(seg, g_settings.port));
  if (rec == nullptr) return;

  // A pending attempt is only recognised by a time with both parts non-zero.
  const bool pending = rec->state == ESTABLISHED && rec->pending_syn_time.sec != 0 &&
                       rec->pending_syn_time.usec != 0;
  if (pending && seg.ack != static_cast<uint32_t>(rec->pending_isn + 1)) {
    if (g_settings.debug >= 1) {
      trace_sender(seg);
      static constexpr char DROPPED_FMT[] = "%s:%hu SA SEQ:%lu,DROPPED\n";
      std::fprintf(g_output.out, DROPPED_FMT, addr_text(seg.dst, true).text, seg.dst.port,
                   static_cast<unsigned long>(seg.seq));
    }
    return;
  }
  if (g_records.enabled) record_synack(*rec, seg, pending);
  if (pending) {
    // The server answered the new attempt: the record follows it from now on.
    rec->syn_time = rec->pending_syn_time;
    rec->client_isn = rec->pending_isn;
    rec->synacks = 0;
  }

  rec->server_isn = seg.seq;
  const int32_t ms = msecs_between(rec->syn_time, seg.time);
  rec->synacks++;
  if (g_settings.debug >= 1) {
    trace_sender(seg);
    static constexpr char SYNACK_FMT[] = "%s:%hu SA SEQ:%" PRIu64 ",MSECS:%d\n";
    std::fprintf(g_output.out, SYNACK_FMT, addr_text(seg.dst, true).text, seg.dst.port,
                 rec->server_isn, ms);
  }

  if (rec->state == SYN_SEEN) {
    if (g_tracker.rtt_enabled) {
      rec->rtt = ms;
    } else if (addressed_to_this_host(seg.dst)) {
      // The SYN-ACK is addressed to this host, so this host is the client and the
      // SYN to SYN-ACK time is a true round trip: estimation can be trusted.
      static constexpr char RTT_ON_FMT[] = "RTT Estimation enabled.\n";
      std::fflush(g_output.out);
      std::fprintf(g_output.err, RTT_ON_FMT);
      g_tracker.rtt_enabled = true;
      rec->rtt = ms;
    }
  }
  rec->state = ESTABLISHED;
}
