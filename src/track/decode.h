// Packet decoding: the libpcap callback that keeps the run's clock and hands each
// SYN, SYN-ACK, FIN and RST segment to the connection tracker.
#pragma once

#include <pcap/pcap.h>

// Decodes the packet and hands its segment on at once.
void handle_packet(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes);

// Whether segments may be handed on a few packets late: only in a file run that
// prints nothing between packets (no -d, no -m), where the delay cannot be seen.
bool can_defer_segments();
// The same work as handle_packet, but each segment waits in a short queue while
// the memory its connection lookup needs is fetched. flush_deferred_segments()
// hands on the segments still waiting; it must run before the report.
void handle_packet_deferred(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes);
void flush_deferred_segments();
// Empties the queue without handing anything on (tests).
void reset_deferred_segments();
