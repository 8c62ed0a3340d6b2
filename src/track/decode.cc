#include "track/decode.h"

void handle_packet(u_char*, const struct pcap_pkthdr*, const u_char*) {}
