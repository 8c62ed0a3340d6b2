#include "run/capture.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "run/file_identity.h"
#include "run/capture_set.h"
#include "run/interfaces.h"
#include "run/metrics_server.h"
#include "run/packet_loop.h"
#include "run/privileges.h"
#include "run/set_capture.h"
#include "run/progress.h"
#include "run/service.h"
#include "run/signals.h"
#include "run/web_config.h"
#include "run/write_mode.h"
#include "stats/run_clock.h"

namespace {

// Packets handed over per dispatch in a live run; the stop flag is looked at
// between dispatches and by the handler itself.
constexpr int DISPATCH_BATCH = 128;
// The longest a live run with work between packets waits for one.
constexpr int SERVICE_TICK_MS = 200;
// After a dispatch that emptied the ring the loop lets packets gather this long
// before it waits for more. Waiting at once would have the kernel wake it for
// nearly every packet of a steady stream, and each wake-up is paid where the packet
// is delivered: in the network's receive work, on a veth pair in the sender itself.
// A replay asked for 150 000 packets a second then reached 120 000, where under
// tcpdump, whose kernel buffer wakes it a block at a time, it reached them all
// (bench/live_replay.sh); the pause also took two thirds off the loop's own
// processor time. The ring covers the pause many times over (6 240 packets: 31 ms
// at 200 000 a second), and a packet waits at most this long to be handed over.
constexpr long GATHER_NS = 1000 * 1000;

// The pause; a signal ends it early.
void gather_packets() {
  const timespec pause{0, GATHER_NS};
  nanosleep(&pause, nullptr);
}

// Writing the savefile over the capture being read would destroy the input before
// a single packet is read; the metrics file is renamed over its path at the end, and
// over the capture it would replace it.
bool refuse_same_file(const Run& run) {
  const Settings& s = run.settings;
  if (!s.reading_file() || s.read_file.empty()) return false;
  if (s.write_mode() && same_file(s.read_file, s.write_file)) {
    static constexpr char SAME_FILE_FMT[] =
        "%s: will not write the savefile %s over the capture file it reads\n";
    std::fprintf(run.output.err, SAME_FILE_FMT, s.program_name.c_str(), s.write_file.c_str());
    return true;
  }
  if (!s.metrics_file.empty() && same_file(s.read_file, s.metrics_file)) {
    static constexpr char SAME_METRICS_FMT[] =
        "%s: will not write --metrics-file %s over the capture file it reads\n";
    std::fprintf(run.output.err, SAME_METRICS_FMT, s.program_name.c_str(),
                 s.metrics_file.c_str());
    return true;
  }
  if (!s.html_file.empty() && same_file(s.read_file, s.html_file)) {
    static constexpr char SAME_HTML_FMT[] =
        "%s: will not write --html %s over the capture file it reads\n";
    std::fprintf(run.output.err, SAME_HTML_FMT, s.program_name.c_str(), s.html_file.c_str());
    return true;
  }
  return false;
}

// The live loop: dispatches until a signal (the alarm, SIGINT, SIGTERM) or a table
// out of memory stops it, with the service's work between dispatches.
RunEnd run_live_capture(Run& run, RecordFiles& files, Source& src, MetricsServer* server) {
  print_considering_lines(run);
  PacketFeed feed(run);
  feed.link = src.link;
  feed.pcap = src.pcap;
  feed.files = &files;
  if (src.user_filter.compiled) feed.user_filter = &src.user_filter.program;
  u_char* const user = reinterpret_cast<u_char*>(&feed);
  ServiceLoop service(run, src.pcap, files, server);
  // A run with work of its own between packets (rows due, scrapes, expiry) cannot
  // wait in libpcap: its read returns only with packets, however long the port is
  // quiet. It waits on the capture's descriptor instead, for at most a tick, and
  // then reads what is there without blocking. A plain run keeps libpcap's loop.
  const Settings& s = run.settings;
  const bool timed = s.metrics || !s.metrics_file.empty() || !s.conns_file.empty() ||
                     !s.intervals_file.empty();
  char errbuf[PCAP_ERRBUF_SIZE];
  const int fd = timed && pcap_setnonblock(src.pcap, 1, errbuf) == 0
                     ? pcap_get_selectable_fd(src.pcap)
                     : -1;
  do {
    if (fd >= 0) {
      pollfd ready{fd, POLLIN, 0};
      poll(&ready, 1, SERVICE_TICK_MS);  // a signal ends the wait early
      if (run_stopping(run)) break;
    }
    const int handed = pcap_dispatch(src.pcap, DISPATCH_BATCH, handle_packet, user);
    files.tick_live(run);
    service.tick();
    if (handed > 0 && handed < DISPATCH_BATCH && !run_stopping(run)) gather_packets();
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
  if (prepare_source(run, src, interface) != 0 || !files.start(run) ||
      !become_user(run.settings, run.output))
    return RunEnd::FAILURE;
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
  // A service refuses to start on a configuration it cannot honour.
  WebConfig web;
  if (!s.web_config.empty()) {
    std::string error;
    if (!read_web_config(s.web_config, &web, &error)) {
      static constexpr char WEB_CONFIG_FMT[] = "%s: --web-config %s\n";
      std::fprintf(run.output.err, WEB_CONFIG_FMT, s.program_name.c_str(), error.c_str());
      return RunEnd::FAILURE;
    }
  }

  std::string interface;
  if (s.has_interface)
    interface = s.interface;
  else if (!s.reading_file() && !discover_interfaces(run, &interface))
    return RunEnd::FAILURE_WITH_USAGE;
  const bool have_interface = s.has_interface || !s.reading_file();
  if (!s.reading_file()) run.interface_name = interface;
  // A file run without -i looks the network up without an interface name.
  const char* filter_interface = have_interface ? interface.c_str() : nullptr;

  // Several files, standard input or a compressed file: one merged timeline.
  if (read_as_capture_set(s)) return run_capture_set(run, filter_interface);

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

  MetricsServer server;
  if (s.metrics) {
    std::string error;
    if (!server.start(s.metrics_address, s.metrics_port, web, &error)) {
      static constexpr char LISTEN_FMT[] = "%s: --metrics %s:%u: %s\n";
      std::fprintf(run.output.err, LISTEN_FMT, s.program_name.c_str(), s.metrics_address.c_str(),
                   static_cast<unsigned>(s.metrics_port), error.c_str());
      return RunEnd::FAILURE;
    }
    if (s.user.empty() && geteuid() == 0) {
      static constexpr char AS_ROOT_FMT[] =
          "%s: serving as root; -Z USER runs as USER once the capture is open\n";
      std::fprintf(run.output.err, AS_ROOT_FMT, s.program_name.c_str());
    }
  }
  if (!become_user(run.settings, run.output)) return RunEnd::FAILURE;

  if (!run.offline) {
    // SIGTERM stops a live run as SIGINT does; a service is reloaded with SIGHUP.
    install_signals(true, s.metrics || !s.conns_file.empty() || !s.intervals_file.empty());
    // A continuous run lasts until a signal, unless -t says otherwise.
    if (!s.metrics || s.run_time_given) alarm(static_cast<unsigned>(s.run_time));
    run.clock.start_time = wall_clock_now();
  }

  if (s.write_mode()) return run_write_mode(run, src, interface.c_str());
  return run_live_capture(run, files, src, s.metrics ? &server : nullptr);
}
