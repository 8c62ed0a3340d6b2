#include "run/source.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "run/capture_filter.h"
#include "run/signals.h"

namespace {

// Live captures keep the first 256 bytes of a packet: enough for any link, IPv4 and
// TCP header with options, and it keeps write-mode files small.
constexpr int SNAPLEN = 256;
// The kernel's capture buffer of a live run: what arrives while it is full is
// dropped, so it must hold the handshakes and closes that come in while the loop
// waits for the processor. libpcap's own 2 MB hold 6 240 packets of this snapshot
// length, 66 ms at 12 000 connections a second on loopback. On a busy 2-core
// machine the live load (bench/live_load.sh, which builds other sizes to compare)
// lost packets with 0.5 MB or less and none with 1 to 32 MB, at up to 20 000
// connections a second, the most the machine could make: a larger buffer gained
// nothing, so the size stays libpcap's, written down here. Replayed at up to
// 280 000 packets a second against tcpdump with the same buffer
// (bench/live_replay.sh), 2 MB dropped in one top-speed run of 31, as tcpdump did;
// 1 MB dropped in 3 of 8 where tcpdump dropped in none, since these fixed slots
// hold half the small packets tcpdump's blocks hold in the same bytes; 4 MB did no
// better than 2 MB.
#ifndef PORTSIFT_LIVE_BUFFER_KB
#define PORTSIFT_LIVE_BUFFER_KB 2048
#endif
constexpr int LIVE_BUFFER_BYTES = PORTSIFT_LIVE_BUFFER_KB * 1024;
constexpr int READ_TIMEOUT_MS = 1000;
// A continuous run wakes more often without traffic, so that scrapes and expiry
// keep to the wall clock.
constexpr int SERVICE_READ_TIMEOUT_MS = 200;

// pcap_open_live() with the same settings and failure texts, and one difference:
// packets are handed over as they arrive. Otherwise Linux keeps them in a ring
// block for up to the read timeout, and a run ended by the alarm or by SIGINT
// would lose the packets of its last second: connections missing from the report,
// segments missing from the savefile although "Packets received" counted them.
pcap_t* open_live(const char* device, int timeout_ms, char* errbuf) {
  pcap_t* p = pcap_create(device, errbuf);
  if (p == nullptr) return nullptr;
  int status = pcap_set_snaplen(p, SNAPLEN);
  if (status >= 0) status = pcap_set_promisc(p, 0);
  if (status >= 0) status = pcap_set_timeout(p, timeout_ms);
  if (status >= 0) status = pcap_set_immediate_mode(p, 1);
  if (status >= 0) status = pcap_set_buffer_size(p, LIVE_BUFFER_BYTES);
  if (status >= 0) status = pcap_activate(p);
  if (status >= 0) return p;
  static constexpr char FAILED_FMT[] = "%s: %.*s";
  static constexpr char FAILED_STATUS_DETAIL_FMT[] = "%s: %s (%.*s)";
  static constexpr char FAILED_STATUS_FMT[] = "%s: %s";
  if (status == PCAP_ERROR)
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, FAILED_FMT, device, PCAP_ERRBUF_SIZE - 3,
                  pcap_geterr(p));
  else if (status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
           status == PCAP_ERROR_PROMISC_PERM_DENIED)
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, FAILED_STATUS_DETAIL_FMT, device,
                  pcap_statustostr(status), PCAP_ERRBUF_SIZE - 6, pcap_geterr(p));
  else
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, FAILED_STATUS_FMT, device, pcap_statustostr(status));
  pcap_close(p);
  return nullptr;
}

// libpcap would word a failure to open the file the same way, but inside its
// 256-byte error buffer, where a long file name (up to 1023 characters) pushes the
// reason out. The file is therefore opened here; what libpcap says about its
// contents is passed on unchanged. "-" is libpcap's name for standard input.
pcap_t* open_savefile(const std::string& name, char* errbuf, std::string* open_error) {
  if (name == "-") return pcap_open_offline(name.c_str(), errbuf);
  FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) {
    // libpcap's wording: the name, a colon, the system's reason.
    *open_error = name + ": " + std::strerror(errno);
    return nullptr;
  }
  pcap_t* pcap = pcap_fopen_offline(file, errbuf);
  if (pcap == nullptr) std::fclose(file);  // on success the handle owns the file
  return pcap;
}

void close_handle(Source& src) {
  break_on_signal(nullptr);
  pcap_close(src.pcap);
  src.pcap = nullptr;
}

}  // namespace

Source::~Source() {
  if (dumper != nullptr) pcap_dump_close(dumper);
  if (pcap != nullptr) close_handle(*this);
}

bool open_source(const Settings& s, const RunOutput& output, const char* device, Source* src) {
  char errbuf[PCAP_ERRBUF_SIZE];
  errbuf[0] = '\0';
  std::string open_error;
  src->offline = s.reading_file();
  src->pcap = src->offline ? open_savefile(s.read_file, errbuf, &open_error)
                           : open_live(device, s.metrics ? SERVICE_READ_TIMEOUT_MS : READ_TIMEOUT_MS,
                                       errbuf);
  static constexpr char OPEN_FMT[] = "%s\n";
  if (src->pcap == nullptr) {
    TRACE(output.err, OPEN_FMT, open_error.empty() ? errbuf : open_error.c_str());
    return false;
  }
  if (errbuf[0] != '\0') TRACE(output.err, OPEN_FMT, errbuf);  // a warning: go on
  break_on_signal(src->pcap);
  return true;
}

void adopt_savefile(pcap_t* pcap, Source* src) {
  src->pcap = pcap;
  src->offline = true;
  break_on_signal(pcap);
}

LinkInfo link_of(pcap_t* pcap, const Settings& s) {
  return LinkInfo{pcap_datalink(pcap), pcap_is_swapped(pcap) == 1, s.decode_all};
}

bool link_usable(const Run& run, const LinkInfo& link) {
  if (link_supported(link.dlt, run.settings.decode_all)) return true;
  static constexpr char BAD_LINK_FMT[] = "Unknown datalink type: %d\n";
  std::fprintf(run.output.out, BAD_LINK_FMT, link.dlt);
  std::fflush(run.output.out);
  print_link_hint(run.output.err, isatty(fileno(run.output.err)) == 1, run.settings, link.dlt);
  return false;
}

int prepare_source(Run& run, Source& src, const char* interface) {
  const Settings& s = run.settings;
  // The filter for --decode-all depends on the link type.
  src.link = link_of(src.pcap, s);
  const std::string expression = capture_filter_text(s, src.link.dlt);
  // What the kernel runs in place of a program too long for it: the same words for
  // every port.
  Settings every_port = s;
  every_port.any_port = true;
  const std::string broad = capture_filter_text(every_port, src.link.dlt);
  if (install_filter(src.pcap, interface, expression, run.output.out, run.output.err, s.debug,
                     src.offline ? nullptr : &broad, &src.user_filter) != 0)
    return 1;
  return link_usable(run, src.link) ? 0 : 1;
}

void end_capture(Run& run, Source& src) {
  if (src.pcap == nullptr) return;  // a capture set's files are closed as they end
  // A savefile has no statistics: pcap_stats() fails and nothing is printed.
  struct pcap_stat stats;
  if (pcap_stats(src.pcap, &stats) == 0) {
    static constexpr char RECEIVED_FMT[] = "%u Packets received\n";
    static constexpr char DROPPED_FMT[] = "%u Packets dropped\n";
    std::fprintf(run.output.err, RECEIVED_FMT, stats.ps_recv);
    std::fprintf(run.output.err, DROPPED_FMT, stats.ps_drop);
  }
  close_handle(src);
}

void warn_read_error(const Run& run, const char* interface) {
  if (run.read_error.empty()) return;
  const char* error = run.read_error.c_str();
  const Settings& s = run.settings;
  if (!run.offline) {
    // Only write mode stops on a failing live capture (the interface went down).
    static constexpr char LIVE_ERROR_FMT[] =
        "Warning: the capture on %s ended with an error: %s; the savefile holds the packets "
        "captured before it\n";
    std::fprintf(run.output.err, LIVE_ERROR_FMT, interface, error);
  } else {
    warn_file_read_error(run, s.read_file, error);
  }
}

void warn_file_read_error(const Run& run, const std::string& name, const char* error) {
  if (run.settings.write_mode()) {
    static constexpr char COPY_ERROR_FMT[] =
        "Warning: %s ended with a read error: %s; the savefile holds the packets read before it\n";
    std::fprintf(run.output.err, COPY_ERROR_FMT, name.c_str(), error);
  } else {
    static constexpr char READ_ERROR_FMT[] =
        "Warning: %s ended with a read error: %s; the report covers the packets read before it\n";
    std::fprintf(run.output.err, READ_ERROR_FMT, name.c_str(), error);
  }
}

void print_link_hint(FILE* err, bool err_is_terminal, const Settings& s, int dlt) {
  if (!err_is_terminal || s.decode_all || !link_supported(dlt, true)) return;
  static constexpr char LINK_HINT_FMT[] = "%s: --decode-all reads link type %d (%s)\n";
  const char* description = pcap_datalink_val_to_description(dlt);
  std::fprintf(err, LINK_HINT_FMT, s.program_name.c_str(), dlt,
               description != nullptr ? description : "?");
}

std::string ports_phrase(const Settings& s) {
  if (s.any_port) return "any port";
  return (s.ports.size() == 1 ? "port " : "ports ") + ports_text(s);
}

std::string ports_text(const Settings& s) {
  if (s.any_port) return "any";
  std::string text;
  for (const auto& [lo, hi] : PortSet::of(s.ports).ranges()) {
    if (!text.empty()) text += ",";
    text += std::to_string(lo);
    if (hi != lo) text += "-" + std::to_string(hi);
  }
  return text;
}

void print_no_match_hint(FILE* err, bool err_is_terminal, const Run& run, bool stopped,
                         bool file_had_packets) {
  const Settings& s = run.settings;
  if (!err_is_terminal || s.decode_all || !file_had_packets) return;
  if (run.clock.first_packet_seen || stopped) return;
  static constexpr char NO_MATCH_HINT_FMT[] =
      "%s: no packet of the capture was an IPv4 SYN, FIN or RST of %s; --decode-all "
      "also reads IPv6, VLAN-tagged, Linux cooked and raw IP frames\n";
  std::fprintf(err, NO_MATCH_HINT_FMT, s.program_name.c_str(), ports_phrase(s).c_str());
}

bool savefile_has_records(pcap_t* pcap) {
  FILE* file = pcap_file(pcap);
  struct stat st;
  if (file == nullptr || fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const off_t at = ftello(file);
  return at >= 0 && st.st_size > at;
}
