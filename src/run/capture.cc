#include "run/capture.h"

#include <netinet/in.h>
#include <pcap/dlt.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/settings.h"
#include "common/trace.h"
#include "report/json_report.h"
#include "report/summary.h"
#include "run/command_line.h"
#include "run/fail.h"
#include "run/packet_loop.h"
#include "run/progress.h"
#include "run/record_output.h"
#include "stats/run_clock.h"
#include "track/conn_table.h"
#include "track/handshake.h"
#include "track/port_filter.h"

CaptureState g_capture;

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
// nothing, so the size stays libpcap's, written down here.
#ifndef PORTSIFT_LIVE_BUFFER_KB
#define PORTSIFT_LIVE_BUFFER_KB 2048
#endif
constexpr int LIVE_BUFFER_BYTES = PORTSIFT_LIVE_BUFFER_KB * 1024;
constexpr int READ_TIMEOUT_MS = 1000;
// Packets handed over per dispatch in a live run; the stop flag is looked at
// between dispatches and by the handler itself.
constexpr int DISPATCH_BATCH = 128;

[[noreturn]] void no_devices() {
  static constexpr char NO_DEVICES_FMT[] = "No devices found\n\n";
  static constexpr char TRY_SUDO_FMT[] = "Try the command with a 'sudo' prefix\n\n";
  TRACE_ERR(NO_DEVICES_FMT);
  TRACE_ERR(TRY_SUDO_FMT);
  usage(g_settings.program_name.c_str());
}

// Collects every interface's IPv4 addresses, and with --decode-all its IPv6 ones (a
// SYN-ACK addressed to one of them means this host is the client, so its handshake
// time is a round trip), then asks libpcap for the default interface.
std::string discover_interfaces() {
  char errbuf[PCAP_ERRBUF_SIZE];
  errbuf[0] = '\0';
  pcap_if_t* devs = nullptr;
  int rc = pcap_findalldevs(&devs, errbuf);
  if (rc != 0) {
    static constexpr char FINDALLDEVS_FMT[] = "pcap_findalldevs:%d:%s\n";
    std::printf(FINDALLDEVS_FMT, rc, errbuf);
    std::fflush(stdout);
    no_devices();
  }
  for (pcap_if_t* dev = devs; dev != nullptr; dev = dev->next) {
    static constexpr char EXAMINING_FMT[] = "Examining interface: %s\n\n";
    if (g_settings.debug >= 2) TRACE(EXAMINING_FMT, dev->name);
    for (pcap_addr_t* a = dev->addresses; a != nullptr; a = a->next) {
      if (a->addr == nullptr) break;
      if (a->addr->sa_family == AF_INET6 && g_settings.decode_all) {
        Ip6Addr addr;
        std::memcpy(addr.bytes, &reinterpret_cast<const sockaddr_in6*>(a->addr)->sin6_addr, 16);
        static constexpr char FOUND_ADDR6_FMT[] = "Found Inet6 address %s\n\n";
        if (g_settings.debug >= 2) TRACE(FOUND_ADDR6_FMT, ipv6_text(addr).text);
        g_tracker.local_addrs6.insert(addr);
        continue;
      }
      if (a->addr->sa_family != AF_INET) continue;
      const IpAddr addr{reinterpret_cast<const sockaddr_in*>(a->addr)->sin_addr.s_addr};
      static constexpr char FOUND_ADDR_FMT[] = "Found Inet address 0x%x\n\n";
      if (g_settings.debug >= 2) TRACE(FOUND_ADDR_FMT, addr.raw);
      g_tracker.local_addrs.insert(addr);
    }
  }
  pcap_freealldevs(devs);

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  // Deprecated in favour of pcap_findalldevs(), but it still picks the interface a
  // user expects (the first one that is up and not loopback).
  const char* dev = pcap_lookupdev(errbuf);
#pragma GCC diagnostic pop
  if (dev == nullptr) {
    static constexpr char LOOKUPDEV_FMT[] = "pcap_lookupdev:%s\n";
    TRACE_ERR(LOOKUPDEV_FMT, errbuf);
    no_devices();
  }
  return dev;
}

// Writing the savefile over the capture being read would destroy the input before
// a single packet is read. Compare the files themselves, so another path to the
// same file is caught too.
void refuse_same_file() {
  const Settings& s = g_settings;
  if (!s.write_mode() || !s.reading_file()) return;
  struct stat in, out;
  if (stat(s.read_file.c_str(), &in) != 0 || stat(s.write_file.c_str(), &out) != 0) return;
  if (in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
    static constexpr char SAME_FILE_FMT[] =
        "%s: will not write the savefile %s over the capture file it reads\n";
    fail(stderr, SAME_FILE_FMT, s.program_name.c_str(), s.write_file.c_str());
  }
}

// pcap_open_live() with the same settings and failure texts, and one difference:
// packets are handed over as they arrive. Otherwise Linux keeps them in a ring
// block for up to the read timeout, and a run ended by the alarm or by SIGINT
// would lose the packets of its last second: connections missing from the report,
// segments missing from the savefile although "Packets received" counted them.
pcap_t* open_live(const char* device, char* errbuf) {
  pcap_t* p = pcap_create(device, errbuf);
  if (p == nullptr) return nullptr;
  int status = pcap_set_snaplen(p, SNAPLEN);
  if (status >= 0) status = pcap_set_promisc(p, 0);
  if (status >= 0) status = pcap_set_timeout(p, READ_TIMEOUT_MS);
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

void open_source(const char* interface) {
  const Settings& s = g_settings;
  char errbuf[PCAP_ERRBUF_SIZE];
  errbuf[0] = '\0';
  std::string open_error;
  if (s.reading_file())
    g_capture.pcap = open_savefile(s.read_file, errbuf, &open_error);
  else
    g_capture.pcap = open_live(interface, errbuf);
  static constexpr char OPEN_FMT[] = "%s\n";
  if (g_capture.pcap == nullptr)
    FAIL_TRACE(OPEN_FMT, open_error.empty() ? errbuf : open_error.c_str());
  if (errbuf[0] != '\0') TRACE_ERR(OPEN_FMT, errbuf);  // a warning: go on
}

void install_signals() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  // SA_RESTART: a write to standard output (or to a savefile on a pipe) that is
  // blocked when the signal lands must go on, not fail with EINTR; stdio would
  // drop the buffered lines. The wait for packets inside libpcap still ends:
  // poll() is never restarted, and pcap_breakloop() wakes it as well.
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGALRM, &sa, nullptr);
}

// Called once a live loop has ended. A later SIGINT, or the alarm still pending
// after a run ended by SIGINT, has nothing left to stop; held back, it cannot reach
// on_signal() while end_capture() closes the handle the handler would break.
void hold_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGALRM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

// A source that ended in an error still gets its report or its savefile, but not in
// silence: the user learns that the packets stop where the error happened.
void warn_read_error(const char* interface) {
  if (g_capture.read_error.empty()) return;
  const char* error = g_capture.read_error.c_str();
  if (!g_capture.offline) {
    // Only write mode stops on a failing live capture (the interface went down).
    static constexpr char LIVE_ERROR_FMT[] =
        "Warning: the capture on %s ended with an error: %s; the savefile holds the packets "
        "captured before it\n";
    std::fprintf(g_output.err, LIVE_ERROR_FMT, interface, error);
  } else if (g_settings.write_mode()) {
    static constexpr char COPY_ERROR_FMT[] =
        "Warning: %s ended with a read error: %s; the savefile holds the packets read before it\n";
    std::fprintf(g_output.err, COPY_ERROR_FMT, g_settings.read_file.c_str(), error);
  } else {
    static constexpr char READ_ERROR_FMT[] =
        "Warning: %s ended with a read error: %s; the report covers the packets read before it\n";
    std::fprintf(g_output.err, READ_ERROR_FMT, g_settings.read_file.c_str(), error);
  }
}

[[noreturn]] void run_write_mode(const char* interface) {
  const Settings& s = g_settings;
  g_capture.dumper = pcap_dump_open(g_capture.pcap, s.write_file.c_str());
  if (g_capture.dumper == nullptr) {
    static constexpr char DUMP_OPEN_FMT[] = "%s:pcap_dump_open:%s\n";
    FAIL_TRACE(DUMP_OPEN_FMT, s.write_file.c_str(), std::strerror(errno));
  }
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
    if (item.set) std::fputs(item.line, stderr);

  int rc = pcap_loop(g_capture.pcap, -1, pcap_dump, reinterpret_cast<u_char*>(g_capture.dumper));
  if (!g_capture.offline) hold_signals();
  if (rc == PCAP_ERROR) g_capture.read_error = pcap_geterr(g_capture.pcap);
  warn_read_error(interface);
  end_capture();
  // A savefile that could not be written completely (a full disk, say) must not
  // end in a status that says it was.
  FILE* out = pcap_dump_file(g_capture.dumper);
  const bool failed = pcap_dump_flush(g_capture.dumper) != 0 || std::ferror(out);
  pcap_dump_close(g_capture.dumper);
  g_capture.dumper = nullptr;
  if (failed) {
    static constexpr char WRITE_FAILED_FMT[] = "%s: error writing %s\n";
    fail(stderr, WRITE_FAILED_FMT, s.program_name.c_str(), s.write_file.c_str());
  }
  std::exit(0);
}

// The lines that say which connections count, and that estimation is on, before
// the first packet.
void print_considering_lines() {
  const Settings& s = g_settings;
  static constexpr char MAX_CLIENT_FMT[] =
      "Considering connections where client sends < %" PRIu64 " bytes to the server\n";
  static constexpr char MAX_SERVER_FMT[] =
      "Considering connections where server sends < %" PRIu64 " bytes to the client\n";
  static constexpr char MIN_CLIENT_FMT[] =
      "Considering connections where clients sends > %" PRIu64 " bytes to the server\n";
  static constexpr char MIN_SERVER_FMT[] =
      "Considering connections where server sends > %" PRIu64 " bytes to the client\n";
  // On the run's output stream: standard error when standard output carries data.
  if (s.max_client_bytes != 0) std::fprintf(g_output.out, MAX_CLIENT_FMT, s.max_client_bytes);
  if (s.max_server_bytes != 0) std::fprintf(g_output.out, MAX_SERVER_FMT, s.max_server_bytes);
  if (s.min_client_bytes != 0) std::fprintf(g_output.out, MIN_CLIENT_FMT, s.min_client_bytes);
  if (s.min_server_bytes != 0) std::fprintf(g_output.out, MIN_SERVER_FMT, s.min_server_bytes);
  if (g_tracker.rtt_enabled) {
    static constexpr char RTT_FILE_FMT[] =
        "RTT Estimation enabled.\nEstimates will be wrong if this trace was captured on the "
        "server for port %d\n";
    static constexpr char RTT_LIVE_FMT[] =
        "RTT Estimation enabled.\nEstimates will be wrong if this machine is the server for "
        "port %d\n";
    std::fflush(g_output.out);
    std::fprintf(g_output.err, g_capture.offline ? RTT_FILE_FMT : RTT_LIVE_FMT, s.port);
  }
}

// Installs the capture filter on the open source and checks its link type: 0, or 1
// after printing why the source cannot be used.
int prepare_source(const char* interface) {
  // The filter for --decode-all depends on the link type.
  g_capture.link.dlt = pcap_datalink(g_capture.pcap);
  g_capture.link.swapped = pcap_is_swapped(g_capture.pcap) == 1;
  g_capture.link.decode_all = g_settings.decode_all;
  if (setup_filter(interface, g_settings.filter_words) != 0) return 1;
  if (!link_supported(g_capture.link.dlt, g_settings.decode_all)) {
    static constexpr char BAD_LINK_FMT[] = "Unknown datalink type: %d\n";
    std::fprintf(g_output.out, BAD_LINK_FMT, g_capture.link.dlt);
    std::fflush(g_output.out);
    print_link_hint(g_output.err, isatty(fileno(g_output.err)) == 1, g_capture.link.dlt);
    return 1;
  }
  return 0;
}

// The table sized for --max-conns, and memory set aside for the report of a run
// that runs out.
void prepare_tracker() {
  if (g_settings.max_conns != SIZE_MAX) conn_table_hold_at_most(g_settings.max_conns);
  keep_memory_reserve();
}

// A run whose table could not grow ends early, but not in silence.
void warn_out_of_memory() {
  if (!g_capture.out_of_memory) return;
  static constexpr char OUT_OF_MEMORY_FMT[] =
      "portsift: out of memory with %zu connections in the table; the report covers the "
      "packets read before it\n";
  std::fprintf(g_output.err, OUT_OF_MEMORY_FMT, g_capture.conns_at_out_of_memory);
}

// With --max-conns: how much of the traffic was counted without being followed.
void report_untracked() {
  const Settings& s = g_settings;
  if (s.max_conns == SIZE_MAX) return;
  const TrackerState& t = g_tracker;
  static constexpr char UNTRACKED_FMT[] =
      "portsift: %" PRIu64 " SYNs from %s%" PRIu64
      " endpoints were not followed: the table held its limit of %zu connections "
      "(--max-conns)\n";
  std::fprintf(g_output.err, UNTRACKED_FMT, t.untracked_syns,
               t.untracked_endpoints.estimated() ? "about " : "", t.untracked_endpoints.count(),
               s.max_conns);
}

// The end of a capture-mode run: the capture statistics, the records and rows still
// to write, then the report: the text, the JSON object, or none when standard output
// carries the rows. Returns the exit status: 1 when a record file could not be
// written completely.
int report_run() {
  warn_out_of_memory();
  report_untracked();
  end_capture();
  if (g_settings.debug >= 2) {
    static constexpr char HASH_HAS_FMT[] = "Hash has %u conns left\n\n";
    TRACE(HASH_HAS_FMT, static_cast<unsigned>(conn_count()));
  }
  if (!g_capture.offline) end_live_clock(wall_clock_now());
  const bool records_written = finish_records();
  if (g_settings.json)
    write_json_report(data_stream());
  else if (!g_settings.data_on_stdout())
    write_report(g_output.out);
  return records_written ? 0 : 1;
}

// SIGINT ends a file run without a report, as it always has; with record files it
// first completes them, as far as the file was read.
[[noreturn]] void end_interrupted_file_run() {
  end_capture();
  finish_records();
  std::fflush(g_output.out);
  std::signal(SIGINT, SIG_DFL);
  std::raise(SIGINT);
  std::exit(1);  // not reached: the default action ends the process
}

}  // namespace

namespace {

// "&&(words )": each word followed by a blank.
std::string and_words(const std::vector<std::string>& filter_words) {
  if (filter_words.empty()) return "";
  std::string text = "&&(";
  for (const std::string& word : filter_words) {
    text += word;
    text += ' ';
  }
  return text + ')';
}

// Where a byte of an IPv6 packet lies, as filter text for libpcap's "ip6[...]":
// 8 times the sum of `words` (counts of 8-byte words read from the packet), plus
// `read_bytes` (a count of bytes read from the packet), plus `bytes`. Constants are
// summed here, not in the program: compiled without optimisation every constant
// and every operator costs instructions, and every place is computed anew at each
// load that uses it.
struct Ip6Place {
  std::string words;
  int word_count = 0;
  std::string read_bytes;
  int bytes = 0;

  // The byte `plus` bytes on, as a load of `size` bytes.
  std::string load(int plus, int size = 1) const {
    std::string index;
    if (word_count == 1) index += words + "*8+";
    if (word_count > 1) index += "(" + words + ")*8+";
    if (!read_bytes.empty()) index += read_bytes + "+";
    index += std::to_string(bytes + plus);
    return "ip6[" + index + (size == 1 ? "" : ":" + std::to_string(size)) + "]";
  }
  // `more_words` 8-byte words and `more_bytes` bytes on.
  Ip6Place after(const std::string& more_words, int more_bytes) const {
    Ip6Place p = *this;
    p.words += (p.words.empty() ? "" : "+") + more_words;
    ++p.word_count;
    p.bytes += more_bytes;
    return p;
  }
};

// The port's SYN, FIN or RST segment, its TCP header at `tcp`: the port as the
// source (bytes 0-1) or the destination (2-3), the flags (byte 13) having SYN, FIN or
// RST (0x07) set. libpcap's "tcp[...]" reads IPv4 only, hence the explicit offsets.
std::string ipv6_port_segment(const Ip6Place& tcp, uint16_t port) {
  const std::string p = std::to_string(port);
  return "(" + tcp.load(0, 2) + " == " + p + " || " + tcp.load(2, 2) + " == " + p + ") && (" +
         tcp.load(13) + " & 7) != 0";
}

// IPv6 TCP from header number `passed` of the extension header chain on: `header`
// is where that header starts (past the fixed header and `passed` option headers),
// `next` the next header value that names it, and `tcp` where the TCP header is when
// `next` is TCP (6) or a fragment header (44): 8 bytes further on in the second
// case. The header is then TCP itself, or a fragment header whose next header is 6
// and whose offset (bits 3 to 15 of bytes 2-3) is 0, the start of its datagram; or,
// while fewer than IPV6_MAX_OPTION_HEADERS lie behind, a Hop-by-Hop (0), Routing
// (43) or Destination Options (60) header: its next header in its first byte, its
// length in 8-byte words after the first 8 in its second, and the chain goes on
// behind it. The decoder reads the same chains (past_extension_headers).
std::string ipv6_chain(const Ip6Place& header, const std::string& next, const Ip6Place& tcp,
                       int passed, uint16_t port) {
  const std::string here = "((" + next + " == 6 || (" + next + " == 44 && (" + header.load(0, 4) +
                           " & 0xff00fff8) == 0x06000000)) && " + ipv6_port_segment(tcp, port) +
                           ")";
  if (passed == IPV6_MAX_OPTION_HEADERS) return here;
  const std::string is_option = "(" + next + " == 0 || " + next + " == 43 || " + next + " == 60)";
  // Behind this header: the next header at its byte 0, its length at byte 1, and
  // the TCP header 8 bytes further on if the next header is a fragment header. The
  // two bytes read as one are next * 256 + length; bit 3 of the next header, bit 11
  // of the pair, is set in 44 and clear in 6. With only that bit and the length
  // kept, the pair modulo 2047 (2048 being 1 there) is the length, plus 1 behind a
  // fragment header: the TCP header's place from one load instead of two. (libpcap's
  // "%" binds less tightly than "+": the term stands in its own parentheses.)
  const Ip6Place behind = header.after(header.load(1), 8);
  const Ip6Place tcp_behind = header.after("((" + header.load(0, 2) + " & 0x8ff) % 2047)", 8);
  return "(" + here + "||(" + is_option + " && " +
         ipv6_chain(behind, header.load(0), tcp_behind, passed + 1, port) + "))";
}

// IPv6 to or from the port, SYN, FIN or RST, behind the extension headers the
// decoder reads. After the fixed header the TCP header is 8 bytes further on when
// the next header (byte 6) is a fragment header (44, bit 3 set) than when it is TCP
// (6, bit 3 clear).
std::string ipv6_filter(uint16_t port) {
  Ip6Place fixed_end;
  fixed_end.bytes = 40;
  Ip6Place tcp = fixed_end;
  tcp.read_bytes = "(ip6[6] & 8)";
  return "(" + ipv6_chain(fixed_end, "ip6[6]", tcp, 0, port) + ")";
}

}  // namespace

std::string filter_expression(uint16_t port, const std::vector<std::string>& filter_words) {
  // The fixed part is the one the native check stands in for, written in one place.
  return filter_text(FilterExpression::HANDSHAKE_AND_CLOSE, port) + and_words(filter_words);
}

std::string decode_all_filter_expression(uint16_t port,
                                         const std::vector<std::string>& filter_words, int dlt) {
  const std::string packet = "((" + filter_text(FilterExpression::HANDSHAKE_AND_CLOSE, port) +
                             ")||" + ipv6_filter(port) + ")" + and_words(filter_words);
  if (dlt != DLT_EN10MB) return packet;
  // libpcap's "vlan" moves every later offset of the expression 4 bytes on, so the
  // untagged test comes first and the doubly tagged one inside the singly tagged.
  return "(" + packet + ")||(vlan&&((" + packet + ")||(vlan&&(" + packet + "))))";
}

int setup_filter(const char* interface, const std::vector<std::string>& filter_words) {
  char errbuf[PCAP_ERRBUF_SIZE];
  errbuf[0] = '\0';
  bpf_u_int32 net = 0, mask = 0;
  // Without an interface (a file run without -i) libpcap answers with a zero mask.
  int rc = pcap_lookupnet(interface, &net, &mask, errbuf);
  if (rc != 0) {
    static constexpr char LOOKUPNET_FMT[] = "pcap_lookupnet:%d:%s\n\n";
    TRACE_ERR(LOOKUPNET_FMT, rc, errbuf);
    return -1;
  }
  const std::string expr =
      g_settings.decode_all
          ? decode_all_filter_expression(g_settings.port, filter_words, g_capture.link.dlt)
          : filter_expression(g_settings.port, filter_words);
  static constexpr char SETTING_FILTER_FMT[] = "Setting filter to %s\n";
  if (g_settings.debug >= 1) TRACE(SETTING_FILTER_FMT, expr.c_str());

  struct bpf_program program;
  rc = pcap_compile(g_capture.pcap, &program, expr.c_str(), 0, mask);
  if (rc != 0) {
    // The return code alone does not tell the user what is wrong with the
    // expression: libpcap's own reason follows on the next line.
    static constexpr char COMPILE_FMT[] = "pcap_compile:%d\n\n";
    static constexpr char COMPILE_REASON_FMT[] = "%s\n";
    TRACE_ERR(COMPILE_FMT, rc);
    TRACE_ERR(COMPILE_REASON_FMT, pcap_geterr(g_capture.pcap));
    return -1;
  }
  rc = pcap_setfilter(g_capture.pcap, &program);
  pcap_freecode(&program);
  if (rc != 0) {
    static constexpr char SETFILTER_FMT[] = "pcap_setfilter:%d\n\n";
    static constexpr char SETFILTER_REASON_FMT[] = "%s\n";
    TRACE_ERR(SETFILTER_FMT, rc);
    TRACE_ERR(SETFILTER_REASON_FMT, pcap_geterr(g_capture.pcap));
    return -1;
  }
  return 0;
}

void print_link_hint(FILE* err, bool err_is_terminal, int dlt) {
  if (!err_is_terminal || g_settings.decode_all || !link_supported(dlt, true)) return;
  static constexpr char LINK_HINT_FMT[] = "%s: --decode-all reads link type %d (%s)\n";
  const char* description = pcap_datalink_val_to_description(dlt);
  std::fprintf(err, LINK_HINT_FMT, g_settings.program_name.c_str(), dlt,
               description != nullptr ? description : "?");
}

void print_no_match_hint(FILE* err, bool err_is_terminal, bool file_had_packets) {
  if (!err_is_terminal || g_settings.decode_all || !file_had_packets) return;
  if (g_clock.first_packet_seen || g_capture.stop_requested != 0) return;
  static constexpr char NO_MATCH_HINT_FMT[] =
      "%s: no packet of the capture was an IPv4 SYN, FIN or RST of port %d; --decode-all "
      "also reads IPv6, VLAN-tagged, Linux cooked and raw IP frames\n";
  std::fprintf(err, NO_MATCH_HINT_FMT, g_settings.program_name.c_str(), g_settings.port);
}

void on_signal(int) {
  g_capture.stop_requested = 1;
  if (g_capture.pcap != nullptr) pcap_breakloop(g_capture.pcap);
}

void end_capture() {
  // A savefile has no statistics: pcap_stats() fails and nothing is printed.
  struct pcap_stat stats;
  if (pcap_stats(g_capture.pcap, &stats) == 0) {
    static constexpr char RECEIVED_FMT[] = "%u Packets received\n";
    static constexpr char DROPPED_FMT[] = "%u Packets dropped\n";
    std::fprintf(g_output.err, RECEIVED_FMT, stats.ps_recv);
    std::fprintf(g_output.err, DROPPED_FMT, stats.ps_drop);
  }
  pcap_close(g_capture.pcap);
  g_capture.pcap = nullptr;
}

namespace {

// Whether the savefile holds anything past the headers libpcap has read: records,
// or at least bytes that claim to be. Standard input and files in memory cannot
// tell, and say no.
bool savefile_has_records(pcap_t* pcap) {
  FILE* file = pcap_file(pcap);
  struct stat st;
  if (file == nullptr || fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const off_t at = ftello(file);
  return at >= 0 && st.st_size > at;
}

}  // namespace

int run_file_capture(pcap_t* pcap, const char* interface, const FastReadSource* fast) {
  g_capture.pcap = pcap;
  g_capture.offline = true;
  g_tracker.rtt_enabled = g_settings.rtt_enabled;
  route_run_output();
  if (prepare_source(interface) != 0 || !start_records()) {
    pcap_close(g_capture.pcap);
    g_capture.pcap = nullptr;
    return 1;
  }
  print_considering_lines();
  prepare_tracker();
  const bool had_records = savefile_has_records(g_capture.pcap);
  // A damaged file ends the loop early: what was read before the damage is still
  // reported, with a warning that says why the report stops there.
  // Without traces or status lines nothing is printed between packets, so the
  // segments may reach the tracker a few packets late, their memory fetched ahead.
  // A quiet run of the fixed expression reads the file without libpcap where it can.
  FastReadSource named;
  named.path = g_settings.read_file.c_str();
  if (fast == nullptr && g_settings.read_file != "-") fast = &named;
  int rc;
  if (fast != nullptr && fast_read_wanted())
    rc = read_savefile_fast(g_capture.pcap, *fast);
  else
    rc = read_savefile(g_capture.pcap,
                       can_defer_segments() ? handle_packet_deferred : handle_packet);
  if (rc == PCAP_ERROR) g_capture.read_error = pcap_geterr(g_capture.pcap);
  flush_deferred_segments();
  // Only an interrupt stops a file run early, apart from a table that ran out of
  // memory, which still gets its report.
  if (g_capture.stop_requested != 0 && !g_capture.out_of_memory) end_interrupted_file_run();
  warn_read_error(nullptr);
  const int status = report_run();
  print_no_match_hint(g_output.err, isatty(fileno(g_output.err)) == 1, had_records);
  return status;
}

void start_capture() {
  const Settings& s = g_settings;
  route_run_output();  // before the first line the run prints (the -dd discovery traces)
  refuse_same_file();
  g_tracker.rtt_enabled = s.rtt_enabled;

  std::string interface;
  if (s.has_interface)
    interface = s.interface;
  else if (!s.reading_file())
    interface = discover_interfaces();
  const bool have_interface = s.has_interface || !s.reading_file();
  // A file run without -i looks the network up without an interface name.
  const char* filter_interface = have_interface ? interface.c_str() : nullptr;

  open_source(interface.c_str());
  if (s.reading_file() && !s.write_mode()) {
    // An interrupt must not leave a record file cut in the middle of a line.
    if (!s.conns_file.empty() || !s.intervals_file.empty()) install_signals();
    std::exit(run_file_capture(g_capture.pcap, filter_interface));
  }

  g_capture.offline = s.reading_file();
  if (prepare_source(filter_interface) != 0) std::exit(1);
  if (!start_records()) std::exit(1);

  if (!g_capture.offline) {
    install_signals();
    alarm(static_cast<unsigned>(s.run_time));
    g_clock.start_time = wall_clock_now();
  }

  if (s.write_mode()) run_write_mode(interface.c_str());

  print_considering_lines();
  prepare_tracker();
  do {
    pcap_dispatch(g_capture.pcap, DISPATCH_BATCH, handle_packet, nullptr);
    tick_live_records();
  } while (g_capture.stop_requested == 0);
  hold_signals();
  std::exit(report_run());
}
