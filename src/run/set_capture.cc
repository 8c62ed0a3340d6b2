#include "run/set_capture.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <queue>
#include <string>

#include "common/trace.h"
#include "run/fast_read.h"
#include "run/file_identity.h"
#include "run/packet_loop.h"
#include "run/privileges.h"
#include "run/progress.h"
#include "run/set_source.h"
#include "run/signals.h"
#include "run/source.h"
#include "run/write_mode.h"

namespace {

// A file of the set and, while it is being read, its open source. Files wait
// closed until the merge reaches their first record: a rotated set of hundreds of
// files holds one or two open at a time, with their decompressors and threads.
struct Member {
  SetFileInfo info;
  const MemoryFile* memory = nullptr;
  std::unique_ptr<SetSource> source;
  bool started = false;  // opened to be read (it ends closed)
  std::string read_error;
};

// A file's turn in the merge: its next record's time (before it is opened, its
// first record's), ties to the file named first.
struct Turn {
  Timeval at;
  size_t index;
};
bool earlier(const Turn& a, const Turn& b) {
  if (a.at.sec != b.at.sec) return a.at.sec < b.at.sec;
  if (a.at.usec != b.at.usec) return a.at.usec < b.at.usec;
  return a.index < b.index;
}
struct Later {
  bool operator()(const Turn& a, const Turn& b) const { return earlier(b, a); }
};

Timeval time_of(const pcap_pkthdr& h) {
  return Timeval{static_cast<int64_t>(h.ts.tv_sec), static_cast<int64_t>(h.ts.tv_usec)};
}

// The earliest time there is: the turn of a file whose first record is not known
// comes at the start.
constexpr Timeval FIRST_OF_ALL{INT64_MIN, INT64_MIN};

class Merge {
 public:
  Merge(Run& run, std::vector<Member>& members, const char* interface, size_t chunk)
      : run_(run), members_(members), interface_(interface), chunk_(chunk) {
    fast_ = fast_read_wanted(run);
    for (size_t i = 0; i < members_.size(); ++i) {
      const SetFileInfo& info = members_[i].info;
      turns_.push(Turn{info.first_known ? info.first : FIRST_OF_ALL, i});
      total_bytes_ += info.size;
    }
  }

  int64_t total_bytes() const { return total_bytes_; }

  // Hands every record that passes its file's filter to `emit(member, header,
  // data)` in the merged order, until the files end or the run stops.
  template <typename Emit>
  void read(Emit emit, ProgressLine& progress) {
    uint64_t handed = 0;
    while (!turns_.empty()) {
      const Turn turn = turns_.top();
      turns_.pop();
      Member& m = members_[turn.index];
      if (!m.started) {
        start(m);
        if (advance(m)) turns_.push(Turn{time_of(m.source->header()), turn.index});
        continue;
      }
      // This file leads until its next record comes after the next file's turn:
      // in a rotated set that is its whole length, without a look at the others.
      const bool alone = turns_.empty();
      const Turn next = alone ? Turn{} : turns_.top();
      SetSource& src = *m.source;
      for (;;) {
        if (src.matches()) {
          emit(m, src.header(), src.data());
          if (run_stopping(run_)) return;
          if (++handed % PROGRESS_BATCH == 0)
            progress.tick(handed, done_bytes_ + static_cast<int64_t>(src.bytes_read()),
                          m.info.name.c_str());
        }
        if (!advance(m)) break;
        const Turn now{time_of(src.header()), turn.index};
        if (!alone && !earlier(now, next)) {
          turns_.push(now);
          break;
        }
      }
    }
  }

 private:
  // Opens a file to be read; one that cannot be opened now ends at once, with
  // the reason as its read error.
  void start(Member& m) {
    m.started = true;
    if (!m.source) {
      m.source = std::make_unique<SetSource>();
      SetOpen opened = m.memory != nullptr
                           ? m.source->open_bytes(m.memory->bytes, m.memory->size, chunk_, &m.info)
                           : m.source->open(&m.info, true, false);
      if (opened != SetOpen::OK) {
        m.read_error = m.source->error();
        m.source.reset();
        return;
      }
      if (m.source->prepare(run_, interface_, false) != 0) {
        m.read_error = "its capture filter could not be set";
        m.source.reset();
        return;
      }
    }
    m.source->start(run_.settings, fast_);
  }

  // The file's next record; false when it has ended, its source then closed.
  bool advance(Member& m) {
    if (m.source && m.source->next()) return true;
    if (m.source) {
      if (m.read_error.empty()) m.read_error = m.source->read_error();
      m.source.reset();
    }
    done_bytes_ += m.info.size;
    return false;
  }

  Run& run_;
  std::vector<Member>& members_;
  const char* interface_;
  size_t chunk_;
  bool fast_ = false;
  int64_t total_bytes_ = 0;
  int64_t done_bytes_ = 0;
  std::priority_queue<Turn, std::vector<Turn>, Later> turns_;
};

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

// Opens and checks every file before the first packet: each must be a capture
// libpcap opens, of a link type the run reads, whose filter compiles. In a
// directory, files whose first bytes are no capture's are passed over and named
// in one line. False after printing why the run cannot start.
bool open_members(Run& run, const CaptureSetNames& set, const char* interface,
                  std::vector<Member>* members) {
  const Settings& s = run.settings;
  const char* prog = s.program_name.c_str();
  FILE* err = run.output.err;
  // A set of one file (a compressed -r file, standard input) stays open from here
  // on; others are opened again when their turn comes.
  const bool keep_open = set.names.size() == 1;
  // -r of one file speaks as it always did: libpcap's words, with the trace prefix.
  const bool single = set.kind == SetKind::FILE || set.kind == SetKind::STANDARD_INPUT;
  std::vector<std::string> skipped;
  for (const std::string& name : set.names) {
    Member m;
    m.info.name = name;
    m.info.standard_input = set.kind == SetKind::STANDARD_INPUT;
    m.source = std::make_unique<SetSource>();
    const SetOpen opened = m.source->open(&m.info, keep_open, !single);
    static constexpr char SINGLE_FMT[] = "%s\n";
    static constexpr char NAMED_FMT[] = "%s: %s: %s\n";
    switch (opened) {
      case SetOpen::OK:
        break;
      case SetOpen::NOT_CAPTURE:
        if (set.kind == SetKind::DIRECTORY) {
          skipped.push_back(name);
          continue;
        } else {
          static constexpr char NOT_CAPTURE_FMT[] = "%s: %s is not a capture file\n";
          std::fprintf(err, NOT_CAPTURE_FMT, prog, name.c_str());
          return false;
        }
      case SetOpen::OPEN_FAILED:
        if (single)
          TRACE(err, SINGLE_FMT, (name + ": " + m.source->error()).c_str());
        else
          std::fprintf(err, NAMED_FMT, prog, name.c_str(), m.source->error().c_str());
        return false;
      case SetOpen::REFUSED:
        if (single)
          TRACE(err, SINGLE_FMT, m.source->error().c_str());
        else
          std::fprintf(err, NAMED_FMT, prog, name.c_str(), m.source->error().c_str());
        return false;
    }
    // The filter's trace, with -d, is printed once, as for the one merged file.
    if (m.source->prepare(run, interface, members->empty()) != 0) return false;
    if (!keep_open) m.source.reset();
    members->push_back(std::move(m));
  }
  if (!skipped.empty()) {
    static constexpr char SKIPPED_FMT[] = "%s: skipped in %s, not capture files: %s\n";
    std::fprintf(err, SKIPPED_FMT, prog, set.given.c_str(),
                 joined(skipped).c_str());
  }
  if (members->empty()) {
    static constexpr char EMPTY_FMT[] = "%s: %s holds no capture file\n";
    std::fprintf(err, EMPTY_FMT, prog, set.given.c_str());
    return false;
  }
  return true;
}

// After the run: each file that ended early gets the warning of a file run, in
// the set's order; a set says how many of its files did.
void warn_read_errors(const Run& run, const std::vector<Member>& members, bool one_file) {
  size_t cut = 0;
  for (const Member& m : members) {
    if (m.read_error.empty()) continue;
    warn_file_read_error(run, m.info.name, m.read_error.c_str());
    cut++;
  }
  if (one_file || cut == 0) return;
  static constexpr char CUT_FMT[] = "%s: %zu of the %zu files ended early\n";
  std::fprintf(run.output.err, CUT_FMT, run.settings.program_name.c_str(), cut, members.size());
}

bool had_records(const std::vector<Member>& members) {
  return std::any_of(members.begin(), members.end(),
                     [](const Member& m) { return m.info.first_known; });
}

// The report run over the set: the packet loop's handlers, as a file run has them.
RunEnd report_run(Run& run, RecordFiles& files, std::vector<Member>& members,
                  const char* interface, size_t chunk, bool one_file) {
  if (!files.start(run) || !become_user(run.settings, run.output)) return RunEnd::FAILURE;
  print_considering_lines(run);
  PacketFeed feed(run);
  u_char* const user = reinterpret_cast<u_char*>(&feed);
  const pcap_handler handler = can_defer_segments(run) ? handle_packet_deferred : handle_packet;
  Merge merge(run, members, interface, chunk);
  ProgressLine progress(merge.total_bytes(), run.settings);
  if (!one_file) progress.set_files(members.size());
  const Member* last = nullptr;
  merge.read(
      [&](const Member& m, const pcap_pkthdr& header, const uint8_t* data) {
        if (&m != last) {
          // The packet feed takes the framing of the file the packet came from.
          feed.link = m.source->source().link;
          feed.pcap = m.source->source().pcap;
          last = &m;
        }
        handler(user, &header, data);
      },
      progress);
  progress.finish();
  flush_deferred_segments(feed);
  const bool stopped = run_stopping(run);
  Source none;
  if (stop_signalled() && !run.out_of_memory) {
    files.finish(run);
    std::fflush(run.output.out);
    return RunEnd::INTERRUPTED;
  }
  warn_read_errors(run, members, one_file);
  const RunEnd end = finish_run(run, none, files);
  print_no_match_hint(run.output.err, isatty(fileno(run.output.err)) == 1, run, stopped,
                      had_records(members));
  return end;
}

// -w over the set: the merged, filtered packets copied to one savefile, of the
// files' one link type and their largest snapshot length.
RunEnd write_run(Run& run, std::vector<Member>& members, const char* interface, bool one_file) {
  const Settings& s = run.settings;
  int dlt = -1, snaplen = 0;
  for (const Member& m : members) {
    if (dlt != -1 && m.info.dlt != dlt) {
      static constexpr char TWO_LINKS_FMT[] =
          "%s: cannot copy the set into one savefile: its files have link types %d and %d\n";
      std::fprintf(run.output.err, TWO_LINKS_FMT, s.program_name.c_str(), dlt, m.info.dlt);
      return RunEnd::FAILURE;
    }
    dlt = m.info.dlt;
    snaplen = std::max(snaplen, m.info.snaplen);
  }
  pcap_t* dead = pcap_open_dead(dlt, snaplen);
  pcap_dumper_t* dumper = dead != nullptr ? pcap_dump_open(dead, s.write_file.c_str()) : nullptr;
  if (dumper == nullptr) {
    static constexpr char DUMP_OPEN_FMT[] = "%s:pcap_dump_open:%s\n";
    TRACE(run.output.err, DUMP_OPEN_FMT, s.write_file.c_str(), std::strerror(errno));
    if (dead != nullptr) pcap_close(dead);
    return RunEnd::FAILURE;
  }
  if (!become_user(s, run.output)) {
    pcap_dump_close(dumper);
    pcap_close(dead);
    return RunEnd::FAILURE;
  }
  print_ignored_settings(run);
  Merge merge(run, members, interface, 0);
  ProgressLine progress(merge.total_bytes(), run.settings);
  if (!one_file) progress.set_files(members.size());
  u_char* const user = reinterpret_cast<u_char*>(dumper);
  merge.read([&](const Member&, const pcap_pkthdr& header,
                 const uint8_t* data) { pcap_dump(user, &header, data); },
             progress);
  progress.finish();
  warn_read_errors(run, members, one_file);
  const bool written = close_savefile(run, dumper);
  pcap_close(dead);
  return written ? RunEnd::SUCCESS : RunEnd::FAILURE;
}

// Writing the savefile, or a record file, over a capture of the set would destroy
// it before it is read.
bool refuse_overwrite(const Run& run, const std::vector<Member>& members) {
  const Settings& s = run.settings;
  for (const Member& m : members) {
    if (m.info.standard_input) continue;
    for (const std::string* out :
         {&s.write_file, &s.conns_file, &s.intervals_file, &s.metrics_file, &s.html_file}) {
      if (out->empty() || *out == STANDARD_OUTPUT_NAME || !same_file(m.info.name, *out)) continue;
      static constexpr char OVERWRITE_FMT[] =
          "%s: will not write %s over the capture file %s it reads\n";
      std::fprintf(run.output.err, OVERWRITE_FMT, s.program_name.c_str(), out->c_str(),
                   m.info.name.c_str());
      return true;
    }
  }
  return false;
}

}  // namespace

RunEnd run_capture_set(Run& run, const char* interface) {
  const Settings& s = run.settings;
  CaptureSetNames set;
  std::string error;
  if (!name_capture_set(s, &set, &error)) {
    std::fputs(error.c_str(), run.output.err);
    return RunEnd::FAILURE;
  }
  run.offline = true;
  std::vector<Member> members;
  if (!open_members(run, set, interface, &members)) return RunEnd::FAILURE;
  if (refuse_overwrite(run, members)) return RunEnd::FAILURE;
  const bool one_file = set.kind == SetKind::FILE || set.kind == SetKind::STANDARD_INPUT;
  if (s.write_mode()) return write_run(run, members, interface, one_file);
  // An interrupt must not leave a record file cut in the middle of a line.
  if (!s.conns_file.empty() || !s.intervals_file.empty()) install_signals();
  RecordFiles files;
  return report_run(run, files, members, interface, 0, one_file);
}

RunEnd run_memory_set(Run& run, RecordFiles& files, const std::vector<MemoryFile>& set,
                      size_t chunk) {
  run.offline = true;
  std::vector<Member> members;
  for (size_t i = 0; i < set.size(); ++i) {
    Member m;
    m.info.name = set[i].name;
    m.memory = &set[i];
    m.source = std::make_unique<SetSource>();
    if (m.source->open_bytes(set[i].bytes, set[i].size, chunk, &m.info) != SetOpen::OK)
      return RunEnd::FAILURE;
    if (m.source->prepare(run, nullptr, i == 0) != 0) return RunEnd::FAILURE;
    members.push_back(std::move(m));
  }
  if (members.empty()) return RunEnd::FAILURE;
  return report_run(run, files, members, nullptr, chunk, set.size() == 1);
}
