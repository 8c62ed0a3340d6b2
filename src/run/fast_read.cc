#include "run/fast_read.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "common/settings.h"
#include "run/capture_filter.h"
#include "run/file_filter.h"
#include "run/file_identity.h"
#include "run/progress.h"
#include "run/savefile_reader.h"
#include "run/signals.h"
#include "run/split_tracker.h"

namespace {

// The reader opened on the source, when it sees the savefile exactly as libpcap
// does; false leaves the whole file to libpcap.
bool open_reader(SavefileReader* reader, pcap_t* pcap, const FastReadSource& source) {
  const SavefileStatus status = source.path != nullptr
                                    ? reader->open(source.path)
                                    : reader->open_bytes(source.bytes, source.size);
  if (status != SavefileStatus::OK) return false;
  // The reader's file must be the one libpcap has open, not a file that took its
  // name since.
  if (source.path != nullptr && !same_file(reader->file_descriptor(), pcap_file(pcap)))
    return false;
  const SavefileFormat& f = reader->format();
  return f.link_type == pcap_datalink(pcap) && f.swapped == (pcap_is_swapped(pcap) == 1) &&
         f.snaplen == static_cast<uint32_t>(pcap_snapshot(pcap));
}

// Hands the records that pass the filter to the quiet packet loop, until the file
// ends, the run stops, a record comes that the reader does not take, or the split
// tracker's worker fails.
SavefileStatus read_records(PacketFeed& feed, SavefileReader& reader, const FileFilter& filter,
                            ProgressLine& progress, const TrackerSplit* split) {
  Run& run = feed.run;
  u_char* const user = reinterpret_cast<u_char*>(&feed);
  pcap_pkthdr header;
  const uint8_t* data;
  uint64_t handed = 0;
  SavefileStatus status;
  while ((status = reader.next(&header, &data)) == SavefileStatus::OK) {
    if (!filter.matches(header, data)) continue;
    handle_packet_deferred(user, &header, data);
    // Memory ran out, or an interrupt came (a run writing record files catches it):
    // the run ends here.
    if (run_stopping(run)) break;
    if (++handed % PROGRESS_BATCH == 0) {
      if (split != nullptr && split->failed()) break;
      progress.tick(handed, reader.offset());
    }
  }
  return status;
}

// The records a file run looks at to tell whether its tracker is worth a second
// thread.
constexpr size_t PROBE_RECORDS = 4096;

// Whether the file's tracker work pays for a second thread: at least a third of its
// first records pass the filter. Where most records are data the filter passes
// over (measured: 16 % of them, the mixed workload), reading the file is the time,
// a second reader would only read it twice, and one thread is as fast.
bool worth_splitting(pcap_t* pcap, const FastReadSource& source, const FileFilter& filter) {
  SavefileReader probe;
  if (!open_reader(&probe, pcap, source)) return false;
  pcap_pkthdr header;
  const uint8_t* data;
  size_t records = 0, passed = 0;
  while (records < PROBE_RECORDS && probe.next(&header, &data) == SavefileStatus::OK) {
    records++;
    if (filter.matches(header, data)) passed++;
  }
  return passed * 3 >= records;
}

// Reads the whole file with the tracker split between two threads, the worker on a
// reader of its own; true when the result stands (the run's monitor then has it),
// false when the file must be read again on one thread (nothing of this read is
// left in the run's monitor).
bool read_split(PacketFeed& feed, pcap_t* pcap, const FastReadSource& source,
                SavefileReader& reader, const FileFilter& filter, ProgressLine& progress) {
  Run& run = feed.run;
  auto own_reader = std::make_unique<SavefileReader>();
  if (!open_reader(own_reader.get(), pcap, source)) return false;
  std::unique_ptr<TrackerSplit> split;
  try {
    split = std::make_unique<TrackerSplit>(run, std::move(own_reader), filter, feed.link);
  } catch (const std::exception&) {  // no memory, or no thread
    return false;
  }
  // A table out of memory must not break off the libpcap loop of a second read.
  feed.pcap = nullptr;
  feed.split = split.get();
  feed.near_monitor = &split->near_monitor();
  feed.pool = &split->near_pool();
  const SavefileStatus status = read_records(feed, reader, filter, progress, split.get());
  flush_deferred_segments(feed);
  feed.split = nullptr;
  feed.near_monitor = nullptr;
  feed.pool = &run.pool;
  feed.pcap = pcap;
  // An interrupt ends the run without a report: nothing of the read is shown.
  if (stop_signalled()) {
    split->finish(run, false, 0);
    return true;
  }
  // A record the fast reader leaves to libpcap, or memory that ran out: the file is
  // read again on one thread, which hands that record on or stops where it must.
  if (!split->finish(run, status == SavefileStatus::END && !run.out_of_memory, reader.offset()))
    return false;
  progress.finish();
  return true;
}

}  // namespace

bool fast_read_wanted(const Run& run) {
  const Settings& s = run.settings;
  return can_defer_segments(run) && s.min_syns == 0 && s.filter_words.empty() && !s.write_mode() &&
         !s.libpcap_read;
}

int read_savefile_fast(PacketFeed& feed, pcap_t* pcap, const FastReadSource& source) {
  Run& run = feed.run;
  const Settings& s = run.settings;
  u_char* const user = reinterpret_cast<u_char*>(&feed);
  auto reader = std::make_unique<SavefileReader>();
  std::optional<FileFilter> filter;
  if (open_reader(reader.get(), pcap, source))
    filter = FileFilter::make(pcap, watched_ports(s), s.wide_filter());
  // The hand-over places libpcap's stream: it must be one that can be placed.
  FILE* file = pcap_file(pcap);
  if (!filter || file == nullptr || ftello(file) < 0)
    return read_savefile(pcap, handle_packet_deferred, user, s);

  struct stat st;
  const int64_t size = source.path == nullptr ? static_cast<int64_t>(source.size)
                       : fstat(reader->file_descriptor(), &st) == 0
                           ? static_cast<int64_t>(st.st_size)
                           : 0;
  ProgressLine progress(size, s);
  if (TrackerSplit::wanted(run) && worth_splitting(pcap, source, *filter)) {
    if (read_split(feed, pcap, source, *reader, *filter, progress)) return 0;
    // The split run's result did not stand: the file is read again from its first
    // record, on one thread, as if the split had never been tried.
    restart_feed(feed);
    reader = std::make_unique<SavefileReader>();
    // libpcap's stream is still at the first record: libpcap reads the whole file
    // where the reader cannot open it again.
    if (!open_reader(reader.get(), pcap, source)) {
      progress.finish();
      return read_savefile(pcap, handle_packet_deferred, user, s);
    }
  }
  const SavefileStatus status = read_records(feed, *reader, *filter, progress, nullptr);
  progress.finish();
  if (status == SavefileStatus::END || run_stopping(run)) return 0;
  // The reader stopped before a record it would not take exactly as libpcap does:
  // libpcap reads on from that record, whose offset is what the reader consumed.
  // libpcap reads a savefile record by record from its stream, so placing the stream
  // there is all the hand-over needs.
  if (fseeko(file, static_cast<off_t>(reader->offset()), SEEK_SET) != 0) {
    run.read_error = std::strerror(errno);
    return 0;
  }
  return read_savefile(pcap, handle_packet_deferred, user, s);
}
