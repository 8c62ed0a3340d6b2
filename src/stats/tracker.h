// The connection state machine of one monitor: a client's SYN creates or restarts
// its record, the server's SYN-ACK establishes it and may give a round-trip
// estimate, the first FIN measures and counts the connection, the answering FIN may
// give a round-trip estimate and removes it, an RST removes it at once.
#pragma once

#include <cstdint>

#include "stats/monitor.h"
#include "track/decode.h"
#include "track/segment.h"

// A SYN without ACK: whoever sends one is the client.
void handle_syn(Monitor& m, const Segment& seg);
// A SYN with ACK, normally the server's.
void handle_synack(Monitor& m, const Segment& seg);
// An RST (`reset`, no payload) or a FIN without SYN with its payload length.
void handle_close(Monitor& m, const Segment& seg, bool reset, uint32_t payload_length);

// A decoded segment (its addresses held in the pool) to the handler its kind
// chooses.
inline void dispatch_segment(Monitor& m, const DecodedFrame& d) {
  switch (d.kind) {
    case SegmentKind::RESET:
      handle_close(m, d.seg, true, 0);
      break;
    case SegmentKind::SYNACK:
      handle_synack(m, d.seg);
      break;
    case SegmentKind::SYN:
      handle_syn(m, d.seg);
      break;
    case SegmentKind::FIN:
      handle_close(m, d.seg, false, d.payload);
      break;
  }
}
