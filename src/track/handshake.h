// Handshake tracking: a client's SYN creates or restarts its record, the server's
// SYN-ACK establishes it and may give a round-trip estimate.
#pragma once

#include "track/tcp_segment.h"

void handle_syn(const TcpSegment& seg);
void handle_synack(const TcpSegment& seg);
