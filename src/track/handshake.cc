#include "track/handshake.h"

#include <cstdio>

#include "common/addr.h"
#include "run/capture.h"
#include "run/settings.h"
#include "stats/run_stats.h"
#include "track/conn_table.h"

namespace {

// The per-connection traces start with the sender, printed on its own so that each
// address is formatted separately.
void trace_sender(const TcpSegment& seg) {
  static constexpr char SENDER_FMT[] = "%s:%hu > ";
  std::printf(SENDER_FMT, dotted(seg.src).text, seg.sport);
}

}  // namespace

void handle_syn(const TcpSegment& seg) {
  // Whoever sends a SYN without ACK is the client; the ports are not compared with
  // the monitored one.
  bool created;
  ConnInfo* rec = conn_find_or_insert(seg.src, seg.sport, &created);
  if (created) {
    rec->nsyns = 1;
    rec->client_addr = seg.src;
    rec->bucket = -1;
    rec->state = SYN_SEEN;
    rec->syn_time = seg.time;
    rec->client_isn = seg.seq;
    rec->rtt = 0;
    rec->synacks = 0;
    rec->client_port = seg.sport;
    rec->pending_syn_time = Timeval{};
    g_totals.total_syns++;
  } else if (rec->state == SYN_SEEN || (rec->state == ESTABLISHED && rec->client_isn == seg.seq)) {
    // A repeated SYN: the client is still trying the same connection.
    g_totals.dup_syns++;
    g_totals.total_syns++;
    rec->nsyns++;
    rec->syn_time = seg.time;
    rec->client_isn = seg.seq;
    rec->state = SYN_SEEN;
    rec->rtt = 0;
    rec->synacks = 0;
    rec->client_port = seg.sport;
  } else {
    // A new attempt on an endpoint whose connection is still open or closing: the
    // server's SYN-ACK will tell whether it takes over the record.
    rec->pending_isn = seg.seq;
    rec->pending_syn_time = seg.time;
  }
  if (g_settings.debug >= 1) {
    trace_sender(seg);
    static constexpr char SYN_FMT[] = "%s:%hu S SEQ:%lu\n";
    std::printf(SYN_FMT, dotted(seg.dst).text, seg.dport, rec->client_isn);
  }
}

void handle_synack(const TcpSegment& seg) {
  const uint32_t client_port = seg.sport == g_settings.port ? seg.dport : seg.sport;
  const uint32_t client_addr = client_port == seg.sport ? seg.src : seg.dst;
  ConnInfo* rec = conn_find(client_addr, client_port);
  if (rec == nullptr) return;

  // A pending attempt is only recognised by a time with both parts non-zero.
  if (rec->state == ESTABLISHED && rec->pending_syn_time.sec != 0 &&
      rec->pending_syn_time.usec != 0) {
    if (seg.ack != static_cast<uint32_t>(rec->pending_isn + 1)) {
      if (g_settings.debug >= 1) {
        trace_sender(seg);
        static constexpr char DROPPED_FMT[] = "%s:%hu SA SEQ:%lu,DROPPED\n";
        std::printf(DROPPED_FMT, dotted(seg.dst).text, seg.dport,
                    static_cast<unsigned long>(seg.seq));
      }
      return;
    }
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
    static constexpr char SYNACK_FMT[] = "%s:%hu SA SEQ:%lu,MSECS:%d\n";
    std::printf(SYNACK_FMT, dotted(seg.dst).text, seg.dport, rec->server_isn, ms);
  }

  if (rec->state == SYN_SEEN) {
    if (g_settings.rtt_enabled) {
      rec->rtt = ms;
    } else if (g_local_addrs.count(seg.dst) != 0) {
      // The SYN-ACK is addressed to this host, so this host is the client and the
      // SYN to SYN-ACK time is a true round trip: estimation can be trusted.
      static constexpr char RTT_ON_FMT[] = "RTT Estimation enabled.\n";
      std::fflush(stdout);
      std::fprintf(stderr, RTT_ON_FMT);
      g_settings.rtt_enabled = true;
      rec->rtt = ms;
    }
  }
  rec->state = ESTABLISHED;
}
