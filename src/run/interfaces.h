// Interface discovery: this host's addresses, and the interface a live run without
// -i opens.
#pragma once

#include <string>

#include "stats/run.h"

// Collects every interface's IPv4 addresses into run.host, and with --decode-all its
// IPv6 ones (a SYN-ACK addressed to one of them means this host is the client, so
// its handshake time is a round trip), then asks libpcap for the default interface.
// False after printing why there is none; the usage text follows then.
bool discover_interfaces(Run& run, std::string* device);
