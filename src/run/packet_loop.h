// The packet loop: the libpcap callback that keeps the run's clock and window,
// prints the status line and the packet traces, decodes each packet and hands its
// segment to its monitor's tracker.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "stats/run.h"
#include "track/addr_pool.h"
#include "track/conn_table.h"
#include "track/decode.h"

// Segments decoded but not yet handed to the tracker, in two batches. With
// hundreds of thousands of connections open, nearly every lookup misses the caches,
// and each miss may also have to walk the page tables. Fetches started together
// overlap, one at a time they queue: so the memory a batch's lookups will touch is
// asked for all at once, the index slots when the batch is full, the records one
// batch later, and the segments are handed on in their order after that. Even a
// small table gains: between two segments the capture file streams through the
// caches and pushes the records out.
struct SegmentBatches {
  static constexpr size_t BATCH = 16;
  struct Entry {
    DecodedFrame d;
    // The monitor the segment most probably goes to, whose lookup was prepared; the
    // segment's monitors are decided when it is handed on (a SYN may add one).
    Monitor* monitor;
    ConnLookup lookup;  // of the endpoint the handler will look up
    // An IPv6 segment's two addresses in the pool: prepared as the segment is
    // decoded, located LOCATE_LAG segments later (or when its batch is full, for the
    // last ones), numbered when its batch is full.
    PoolLookup pool[2];
  };
  // How many segments after its own a segment's pool slots are asked for: by then
  // the index lines its lookups prepared have arrived, and the slots have the rest
  // of the batch to arrive before the addresses are numbered (most lookups confirm
  // an address there).
  static constexpr size_t LOCATE_LAG = 4;
  Entry entries[2][BATCH];
  int filling = 0;     // the batch being filled
  size_t filled = 0;   // its segments
  size_t waiting = 0;  // segments of the other batch, whose records are on their way
  bool ipv6 = false;   // the batch being filled holds an IPv6 segment
  // Of the waiting batch, the segments before the first whose addresses found no
  // memory (all of them, as a rule): the run ends when that one's turn comes, as it
  // ends at a handler that finds none.
  size_t numbered = 0;
  bool no_memory = false;  // a segment's addresses found no memory: number no more
};

// What the packet handlers work with: the run, the framing of the source being
// read, and what the deferred path keeps between packets. libpcap's `user`
// argument carries it to the handlers.
class RecordFiles;
class TrackerSplit;

struct PacketFeed {
  explicit PacketFeed(Run& run);
  PacketFeed(const PacketFeed&) = delete;
  PacketFeed& operator=(const PacketFeed&) = delete;

  Run& run;
  // The filter passes the framings only --decode-all reads, to count them
  // (Settings::counts_other_framings).
  const bool count_other_framings;
  LinkInfo link;
  pcap_t* pcap = nullptr;  // the source's handle, broken off when memory runs out
  // A live source's program that the kernel could not take (Source::user_filter):
  // run here on every packet first; nullptr when the kernel runs the whole filter.
  const bpf_program* user_filter = nullptr;
  // Where a port -p any finds mid-run gets its record and interval files; nullptr:
  // none (tests).
  RecordFiles* files = nullptr;
  SegmentBatches batches;
  // Where the quiet path (handle_packet_deferred) keeps the clock and numbers IPv6
  // addresses: the run's own, or those of one side of a split tracker.
  RunClock* clock;
  AddrPool* pool;
  // A run whose tracker is split (TrackerSplit): this feed tracks one side's clients
  // (the worker's with `split_worker`), all into `near_monitor` instead of the run's.
  // A worker's feed shares nothing with the run but its settings and monitor list:
  // memory running out stops only it.
  TrackerSplit* split = nullptr;
  bool split_worker = false;
  Monitor* near_monitor = nullptr;
  // Memory ran out on this feed's path: it hands on nothing more.
  bool ran_out = false;
  // Memory kept for the end of a run that runs out: given back when the table
  // cannot grow, so that the report can still be written.
  std::unique_ptr<void, void (*)(void*)> reserve;
};

// Handles one packet and hands its segment on at once.
void handle_packet(u_char* feed, const struct pcap_pkthdr* header, const u_char* bytes);

// The steps of handle_packet for a quiet file run, against `clock` (the run's own, or
// a split tracker's worker's copy of it): keeps the clock and window from the
// packet and decodes it; true when it carries a segment for the tracker, with its
// time.
bool take_quiet_packet(RunClock& clock, const Settings& s, const LinkInfo& link,
                       const struct pcap_pkthdr* header, const u_char* bytes, DecodedFrame* d);

// Whether segments may be handed on a few packets late: only in a file run that
// prints nothing between packets (no -d, no -m), where the delay cannot be seen.
bool can_defer_segments(const Run& run);
// The same work as handle_packet, but each segment waits in a short queue while
// the memory its connection lookup needs is fetched. flush_deferred_segments()
// hands on the segments still waiting; it must run before the report.
void handle_packet_deferred(u_char* feed, const struct pcap_pkthdr* header,
                            const u_char* bytes);
void flush_deferred_segments(PacketFeed& feed);

// Sets the feed and its run back to before their first packet, to read the source
// again: the clock, the stop for memory, the batches and the reserve. Only for a
// run whose own monitors were never handed a segment (a split run's result that
// did not stand).
void restart_feed(PacketFeed& feed);

// Whether the run is to stop: a signal asked, or memory ran out.
bool run_stopping(const Run& run);
