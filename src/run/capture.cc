#include "run/capture.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "run/file_identity.h"
#include "run/interfaces.h"
#include "run/packet_loop.h"
#include "run/progress.h"
#include "run/signals.h"
#include "run/write_mode.h"
#include "stats/run_clock.h"

namespace {

// Packets handed over per dispatch in a live run; the stop flag is looked at
// between dispatches and by the handler itself.
constexpr int DISPATCH_BATCH = 128;

// Writing the savefile over the capture being read would destroy the input before
// a single packet is read.
bool refuse_same_file(const Run& run) {
  const Settings& s = run.settings;
  if (!s.write_mode() || !s.reading_file() || !same_file(s.read_file, s.write_file)) return false;
  static constexpr char SAME_FILE_FMT[] =
      "%s: will not write the savefile %s over the capture file it reads\n";
  std::fprintf(run.output.err, SAME_FILE_FMT, s.program_name.c_str(), s.write_file.c_str());
  return true;
}

// The live loop: dispatches until a signal (the alarm, SIGINT) or a table out of
// memory stops it.
RunEnd run_live_capture(Run& run, RecordFiles& files, Source& src) {
  print_considering_lines(run);
  PacketFeed feed(run);
  feed.link = src.link;
  feed.pcap = src.pcap;
  feed.files = &files;
  if (src.user_filter.compiled) feed.user_filter = &src.user_filter.program;
  u_char* const user = reinterpret_cast<u_char*>(&feed);
  do {
    pcap_dispatch(src.pcap, DISPATCH_BATCH, handle_packet, user);
    files.tick_live(run);
  } while (!run_stopping(run));
  hold_signals();
  return finish_run(run, src, files);
}

}  // namespace

bool add_monitors(Run& run) {
  // With -p any the monitors come with the SYNs.
  for (uint16_t port : run.settings.ports) {
    if (add_monitor(run, port) != nullptr) continue;
    // perror()'s wording for "malloc:", as start-up reports a table too large.
    static constexpr char NO_MEMORY_FMT[] = "malloc:: %s\n";
    std::fprintf(run.output.err, NO_MEMORY_FMT, std::strerror(ENOMEM));
    return false;
  }
  return true;
}

RunEnd run_file_capture(Run& run, RecordFiles& files, Source& src, const char* interface,
                        const FastReadSource* fast) {
  run.offline = true;
  if (prepare_source(run, src, interface) != 0 || !files.start(run)) return RunEnd::FAILURE;
  print_considering_lines(run);
  const bool had_records = savefile_has_records(src.pcap);
  PacketFeed feed(run);
  feed.link = src.link;
  feed.pcap = src.pcap;
  feed.files = &files;
  u_char* const user = reinterpret_cast<u_char*>(&feed);
  // A damaged file ends the loop early: what was read before the damage is still
  // reported, with a warning that says why the report stops there.
  // Without traces or status lines nothing is printed between packets, so the
  // segments may reach the tracker a few packets late, their memory fetched ahead.
  // A quiet run of the fixed expression reads the file without libpcap where it can.
  FastReadSource named;
  named.path = run.settings.read_file.c_str();
  if (fast == nullptr && run.settings.read_file != "-") fast = &named;
  int rc;
  if (fast != nullptr && fast_read_wanted(run))
    rc = read_savefile_fast(feed, src.pcap, *fast);
  else
    rc = read_savefile(src.pcap, can_defer_segments(run) ? handle_packet_deferred : handle_packet,
                       user, run.settings);
  if (rc == PCAP_ERROR) run.read_error = pcap_geterr(src.pcap);
  flush_deferred_segments(feed);
  // Only an interrupt stops a file run early, apart from a table that ran out of
  // memory, which still gets its report. SIGINT ends a file run without a report,
  // as it always has; with record files it first completes them, as far as the
  // file was read.
  const bool stopped = run_stopping(run);
  if (stop_signalled() && !run.out_of_memory) {
    end_capture(run, src);
    files.finish(run);
    std::fflush(run.output.out);
    return RunEnd::INTERRUPTED;
  }
  warn_read_error(run, nullptr);
  const RunEnd end = finish_run(run, src, files);
  print_no_match_hint(run.output.err, isatty(fileno(run.output.err)) == 1, run, stopped,
                      had_records);
  return end;
}

RunEnd run_capture(const Settings& settings) {
  clear_stop_signal();
  // Before the first line the run prints (the -dd discovery traces), its streams are
  // routed: see Run::output.
  Run run(settings);
  const Settings& s = run.settings;
  if (!add_monitors(run)) return RunEnd::FAILURE;
  if (refuse_same_file(run)) return RunEnd::FAILURE;

  std::string interface;
  if (s.has_interface)
    interface = s.interface;
  else if (!s.reading_file() && !discover_interfaces(run, &interface))
    return RunEnd::FAILURE_WITH_USAGE;
  const bool have_interface = s.has_interface || !s.reading_file();
  // A file run without -i looks the network up without an interface name.
  const char* filter_interface = have_interface ? interface.c_str() : nullptr;

  Source src;
  if (!open_source(s, run.output, interface.c_str(), &src)) return RunEnd::FAILURE;
  RecordFiles files;
  if (s.reading_file() && !s.write_mode()) {
    // An interrupt must not leave a record file cut in the middle of a line.
    if (!s.conns_file.empty() || !s.intervals_file.empty()) install_signals();
    return run_file_capture(run, files, src, filter_interface);
  }

  run.offline = s.reading_file();
  if (prepare_source(run, src, filter_interface) != 0) return RunEnd::FAILURE;
  if (!files.start(run)) return RunEnd::FAILURE;

  if (!run.offline) {
    install_signals();
    alarm(static_cast<unsigned>(s.run_time));
    run.clock.start_time = wall_clock_now();
  }

  if (s.write_mode()) return run_write_mode(run, src, interface.c_str());
  return run_live_capture(run, files, src);
}
