// Packet decoding: the libpcap callback that keeps the run's clock and hands each
// SYN, SYN-ACK, FIN and RST segment to the connection tracker.
#pragma once

#include <pcap/pcap.h>

void handle_packet(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes);
