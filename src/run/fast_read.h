// The fast file run: a classic savefile read in large blocks and filtered natively,
// with libpcap taking over wherever the fast reader would not do exactly what it
// does.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>

#include "run/packet_loop.h"

// Where the fast reader finds the savefile that `pcap` has open: by name, or as
// bytes in memory (tests and fuzz targets, whose handles read the same bytes).
struct FastReadSource {
  const char* path = nullptr;
  const uint8_t* bytes = nullptr;
  size_t size = 0;
};

// Whether this run may read its file without libpcap: a quiet file run (nothing is
// printed between packets: no -d, -c or -m) of the fixed filter expression alone
// (no filter words; the classic expression or that of --decode-all, see
// FileFilter), not asked to use libpcap only (--libpcap-read).
bool fast_read_wanted(const Run& run);

// Hands every packet of the savefile that passes the capture filter to the quiet
// packet loop (handle_packet_deferred with `feed`), as read_savefile() does through
// libpcap,
// with the same result: what pcap_loop() returns for the part libpcap reads, 0 when
// the fast reader read the file to its end. The capture filter must be installed on
// `pcap`, which must not have read a record yet. Where the file, or a record of it,
// is not one the fast reader takes exactly as libpcap does, libpcap reads from that
// record on: the run goes on where it was, with the same packets and the same
// warnings as a run read by libpcap alone.
int read_savefile_fast(PacketFeed& feed, pcap_t* pcap, const FastReadSource& source);
