#include "run/write_mode.h"

#include <cerrno>
#include <cstring>

#include "common/trace.h"
#include "run/signals.h"

RunEnd run_write_mode(Run& run, Source& src, const char* interface) {
  const Settings& s = run.settings;
  src.dumper = pcap_dump_open(src.pcap, s.write_file.c_str());
  if (src.dumper == nullptr) {
    static constexpr char DUMP_OPEN_FMT[] = "%s:pcap_dump_open:%s\n";
    TRACE(run.output.err, DUMP_OPEN_FMT, s.write_file.c_str(), std::strerror(errno));
    return RunEnd::FAILURE;
  }
  print_ignored_settings(run);

  int rc = pcap_loop(src.pcap, -1, pcap_dump, reinterpret_cast<u_char*>(src.dumper));
  if (!src.offline) hold_signals();
  if (rc == PCAP_ERROR) run.read_error = pcap_geterr(src.pcap);
  warn_read_error(run, interface);
  end_capture(run, src);
  const bool written = close_savefile(run, src.dumper);
  src.dumper = nullptr;
  return written ? RunEnd::SUCCESS : RunEnd::FAILURE;
}

void print_ignored_settings(const Run& run) {
  const Settings& s = run.settings;
  // Settings that only shape a report, in the order they are listed.
  const struct {
    bool set;
    const char* line;
  } ignored[] = {
      {s.debug != 0, "-d ignored\n"},
      {s.nbuckets != 0, "-n ignored\n"},
      {s.bucket_size != 0, "-s ignored\n"},
      {s.max_server_bytes != 0, "-X ignored\n"},
      {s.max_client_bytes != 0, "-x ignored\n"},
      {s.min_server_bytes != 0, "-Y ignored\n"},
      {s.min_client_bytes != 0, "-y ignored\n"},
      {s.filter_from != -1, "-D ignored\n"},
      {s.rtt_enabled, "-T ignored\n"},
      {s.raw, "-R ignored\n"},
      {s.report_variant != 0, "-V ignored\n"},
      {s.max_conns != SIZE_MAX, "--max-conns ignored\n"},
  };
  for (const auto& item : ignored)
    if (item.set) std::fputs(item.line, run.output.err);
}

bool close_savefile(const Run& run, pcap_dumper_t* dumper) {
  const Settings& s = run.settings;
  // A savefile that could not be written completely (a full disk, say) must not
  // end in a status that says it was.
  FILE* out = pcap_dump_file(dumper);
  const bool failed = pcap_dump_flush(dumper) != 0 || std::ferror(out);
  pcap_dump_close(dumper);
  if (failed) {
    static constexpr char WRITE_FAILED_FMT[] = "%s: error writing %s\n";
    std::fprintf(run.output.err, WRITE_FAILED_FMT, s.program_name.c_str(), s.write_file.c_str());
    return false;
  }
  return true;
}
