// The packet loop: the libpcap callback that keeps the run's clock and window,
// prints the status line and the packet traces, decodes each packet and hands its
// segment to the tracker's handler.
#pragma once

#include <pcap/pcap.h>

// Handles one packet and hands its segment on at once.
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

// Sets memory aside before a run, for the report of a run that runs out of memory.
void keep_memory_reserve();
