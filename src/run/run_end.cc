#include "run/run_end.h"

#include <cinttypes>

#include "common/trace.h"
#include <cerrno>
#include <cstring>

#include "report/html_page.h"
#include "report/json_report.h"
#include "report/summary_screen.h"
#include "report/summary.h"
#include "run/service.h"
#include "stats/run_clock.h"
#include "stats/run.h"

namespace {

// A run whose table could not grow ends early, but not in silence.
void warn_out_of_memory(const Run& run) {
  if (!run.out_of_memory) return;
  static constexpr char OUT_OF_MEMORY_FMT[] =
      "portsift: out of memory with %zu connections in the table; the report covers the "
      "packets read before it\n";
  std::fprintf(run.output.err, OUT_OF_MEMORY_FMT, run.conns_at_out_of_memory);
}

// With --max-conns: how much of the traffic was counted without being followed, per
// port (each port's table holds up to the limit).
void report_untracked(const Run& run, const Monitor& m) {
  const Settings& s = run.settings;
  if (s.max_conns == SIZE_MAX) return;
  // A bound nobody asked for is only worth a line once it was reached.
  if (s.max_conns_default && m.untracked.syns == 0) return;
  static constexpr char UNTRACKED_FMT[] =
      "portsift: %" PRIu64 " SYNs from %s%" PRIu64
      " endpoints were not followed: the table held its limit of %zu connections "
      "(--max-conns)\n";
  static constexpr char PORT_UNTRACKED_FMT[] =
      "portsift: port %u: %" PRIu64 " SYNs from %s%" PRIu64
      " endpoints were not followed: the table held its limit of %zu connections "
      "(--max-conns)\n";
  const char* about = m.untracked.endpoints.estimated() ? "about " : "";
  if (s.ports.size() == 1 && !s.any_port)
    std::fprintf(run.output.err, UNTRACKED_FMT, m.untracked.syns, about,
                 m.untracked.endpoints.count(), s.max_conns);
  else
    std::fprintf(run.output.err, PORT_UNTRACKED_FMT, static_cast<unsigned>(m.port),
                 m.untracked.syns, about, m.untracked.endpoints.count(), s.max_conns);
}

// With -p any: the SYNs to ports found beyond --max-ports, counted, not followed.
void report_unwatched(const Run& run) {
  if (run.unwatched_syns == 0) return;
  static constexpr char UNWATCHED_FMT[] =
      "portsift: %" PRIu64 " SYNs to %zu more ports were not followed: the run watched its "
      "limit of %zu ports (--max-ports)\n";
  std::fprintf(run.output.err, UNWATCHED_FMT, run.unwatched_syns, run.unwatched_port_count,
               run.settings.max_ports);
}

}  // namespace

void print_considering_lines(const Run& run) {
  const Settings& s = run.settings;
  FILE* out = run.output.out;
  static constexpr char MAX_CLIENT_FMT[] =
      "Considering connections where client sends < %" PRIu64 " bytes to the server\n";
  static constexpr char MAX_SERVER_FMT[] =
      "Considering connections where server sends < %" PRIu64 " bytes to the client\n";
  static constexpr char MIN_CLIENT_FMT[] =
      "Considering connections where clients sends > %" PRIu64 " bytes to the server\n";
  static constexpr char MIN_SERVER_FMT[] =
      "Considering connections where server sends > %" PRIu64 " bytes to the client\n";
  // On the run's output stream: standard error when standard output carries data.
  if (s.max_client_bytes != 0) std::fprintf(out, MAX_CLIENT_FMT, s.max_client_bytes);
  if (s.max_server_bytes != 0) std::fprintf(out, MAX_SERVER_FMT, s.max_server_bytes);
  if (s.min_client_bytes != 0) std::fprintf(out, MIN_CLIENT_FMT, s.min_client_bytes);
  if (s.min_server_bytes != 0) std::fprintf(out, MIN_SERVER_FMT, s.min_server_bytes);
  if (s.rtt_enabled) {
    // The ports as -p named them: "port 80", "ports 80,443", "any port".
    static constexpr char RTT_FILE_FMT[] =
        "RTT Estimation enabled.\nEstimates will be wrong if this trace was captured on the "
        "server for %s\n";
    static constexpr char RTT_LIVE_FMT[] =
        "RTT Estimation enabled.\nEstimates will be wrong if this machine is the server for "
        "%s\n";
    std::fflush(out);
    std::fprintf(run.output.err, run.offline ? RTT_FILE_FMT : RTT_LIVE_FMT,
                 ports_phrase(s).c_str());
  }
}

RunEnd finish_run(Run& run, Source& src, RecordFiles& files) {
  warn_out_of_memory(run);
  for (const std::unique_ptr<Monitor>& m : run.monitors) report_untracked(run, *m);
  report_unwatched(run);
  // The exposition's last state, with the capture's counts, before it is closed.
  const bool metrics_written =
      run.settings.metrics_file.empty() || write_metrics_file(run, current_metrics(run, src.pcap));
  end_capture(run, src);
  const Settings& s = run.settings;
  if (s.debug >= 2) {
    static constexpr char HASH_HAS_FMT[] = "Hash has %u conns left\n\n";
    size_t left = 0;
    for (const std::unique_ptr<Monitor>& m : run.monitors) left += conn_count(m->table);
    TRACE(run.output.out, HASH_HAS_FMT, static_cast<unsigned>(left));
  }
  if (!run.offline) end_live_clock(run.clock, wall_clock_now());
  const bool records_written = files.finish(run);
  bool page_written = true;
  if (!s.html_file.empty() && !write_html_page(run, s.html_file)) {
    static constexpr char HTML_FAILED_FMT[] = "%s: cannot write --html %s: %s\n";
    std::fprintf(run.output.err, HTML_FAILED_FMT, s.program_name.c_str(), s.html_file.c_str(),
                 std::strerror(errno));
    page_written = false;
  }
  if (s.json) {
    write_json_report(run, run.data);
  } else if (s.summary) {
    write_summary_screen(run, run.output.out);
  } else if (!s.data_on_stdout()) {
    // One whole report per port, an empty line between two.
    if (run.monitors.empty()) {
      // -p any in a run that saw no SYN: no port to report on.
      static constexpr char NO_PORT_FMT[] =
          "Results of monitoring any port for %f seconds\nNo port received a SYN\n";
      std::fprintf(run.output.out, NO_PORT_FMT,
                   run_length_ms(run.clock, run.output.out, s.debug) / 1000.0);
    }
    bool first = true;
    for (const Monitor* m : report_order(run)) {
      if (!first) std::fputs("\n", run.output.out);
      first = false;
      write_report(run, *m, run.output.out);
    }
  }
  return records_written && metrics_written && page_written ? RunEnd::SUCCESS : RunEnd::FAILURE;
}
