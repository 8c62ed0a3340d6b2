// Settings: what the command line asked for. Read from the command line once at
// start-up and fixed from then on: a run keeps its own copy (Run::settings), and what
// changes during a run lives in the records that change it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// What places a completed connection in a distribution bucket.
enum SortMode : int {
  BY_DURATION = 1,      // connection duration, milliseconds
  BY_THROUGHPUT = 2,    // KB/s (-P)
  BY_CLIENT_BYTES = 3,  // KB sent by the client (-C)
  BY_SERVER_BYTES = 4,  // KB sent by the server (-S)
};

// -V values that replace the normal report; any other value leaves it.
constexpr int REPORT_BRIEF = 1;
constexpr int REPORT_OPEN_LISTING = 999;

// The distribution's layout when -n or -s is not given (outside write mode).
constexpr int DEFAULT_NBUCKETS = 20;
constexpr int DEFAULT_BUCKET_SIZE = 20;

// How a file of records or interval rows is written. Start-up turns BY_NAME into
// one of the others, from the name's ending.
enum class RowFormat : uint8_t {
  BY_NAME,
  CSV,         // a header row, then comma-separated rows
  JSON_LINES,  // one JSON object per line
};

// The name that stands for standard output in --conns and --intervals.
constexpr char STANDARD_OUTPUT_NAME[] = "-";

// The most ports -p any watches when --max-ports is not given: enough for every
// service a server offers, and a bound on what a scan of every port can make the
// run hold (a watched port costs a few KB).
constexpr size_t DEFAULT_MAX_PORTS = 1024;

// What a continuous run (--metrics) follows at most when --max-conns is not given:
// about 150 MB of records, so that a flood of spoofed SYNs cannot grow the process
// without bound.
constexpr size_t DEFAULT_METRICS_MAX_CONNS = 1000000;

// Expiry: how long a record that can no longer change what is reported stays in the
// table. The defaults of a continuous run are Linux conntrack's: 120 s for an
// attempt without an answer (SYN_SENT) and for a closing connection whose answering
// FIN never came (FIN_WAIT); an established connection never expires unless
// --max-age is given. 0: never.
constexpr int64_t DEFAULT_SYN_TIMEOUT_US = 120000000;
constexpr int64_t DEFAULT_CLOSING_TIMEOUT_US = 120000000;

// Longest -r / -w argument kept; longer ones are cut without notice.
constexpr size_t MAX_FILE_NAME = 1023;

struct Settings {
  std::string program_name;
  uint16_t port = 0;  // 0: not given; with a list, its first port
  // The watched ports, in the order -p gave them (one for a single port); empty
  // with -p any, which watches every port that receives a SYN.
  std::vector<uint16_t> ports;
  bool any_port = false;
  size_t max_ports = DEFAULT_MAX_PORTS;  // --max-ports: what -p any watches at the most
  int debug = 0;
  bool raw = false;
  std::string read_file;   // empty: capture live (unless read_list is given)
  // --read-list: a file that names the capture files, one a line; "-": standard
  // input. Empty: not given.
  std::string read_list;
  std::string write_file;  // empty: not in write mode
  bool has_interface = false;
  std::string interface;
  int nbuckets = 0;
  int bucket_size = 0;
  int run_time = 60;
  bool run_time_given = false;  // -t: a run with --metrics lasts until a signal without it
  uint64_t max_server_bytes = 0;  // 0: off
  uint64_t max_client_bytes = 0;
  uint64_t min_server_bytes = 0;
  uint64_t min_client_bytes = 0;
  bool rtt_enabled = false;  // -T; estimation may also be switched on during a live run
  int filter_from = -1;      // -1: no -D listing
  int filter_to = -1;        // -1: the -D range is open upwards
  SortMode sort_mode = BY_DURATION;
  uint64_t min_syns = 0;
  bool has_since = false;
  std::string since_text;
  // The -I text as strptime() read it into a zeroed calendar record at start-up;
  // the first packet's date completes it.
  struct tm since_fields = {};
  int report_variant = 0;  // REPORT_BRIEF, REPORT_OPEN_LISTING or the normal report
  int status_every = 0;
  uint32_t bucket_base = 0;     // bucket index of the first regular bucket (byte orderings)
  size_t max_conns = SIZE_MAX;  // --max-conns: records the table may hold
  bool max_conns_default = false;  // the bound of a continuous run, not given as --max-conns
  bool libpcap_read = false;    // --libpcap-read: savefiles are read by libpcap only
  std::vector<std::string> filter_words;
  // The machine-readable outputs, given as long options.
  std::string conns_file;  // --conns: one record per connection; empty: none
  RowFormat conns_format = RowFormat::BY_NAME;
  std::string intervals_file;  // --intervals: one row per interval; empty: none
  RowFormat intervals_format = RowFormat::BY_NAME;
  int64_t interval_us = 0;  // --interval; 0: not given
  bool json = false;        // --json: the report as one JSON object
  bool summary = false;     // --summary: the one-screen report instead of the classic one
  std::string html_file;    // --html: the report as one self-contained page; empty: none
  // --decode-all: IPv6, VLAN-tagged frames, Linux cooked and raw IP captures too.
  bool decode_all = false;
  // A continuous run: --metrics [ADDR:]PORT serves the figures at /metrics.
  bool metrics = false;
  std::string metrics_address;  // as given; 127.0.0.1 when only a port was
  uint16_t metrics_port = 0;
  std::string web_config;    // --web-config: TLS and basic authentication; empty: none
  std::string metrics_file;  // --metrics-file: the exposition written atomically; empty: none
  std::string user;          // -Z, --user: the user to run as once the capture is open
  // Expiry (0: never), from the options or, in a continuous run, the defaults above.
  int64_t syn_timeout_us = 0;
  int64_t closing_timeout_us = 0;
  int64_t max_age_us = 0;

  bool write_mode() const { return !write_file.empty(); }
  // Whether records leave the table once they can no longer change the figures.
  bool expires() const { return syn_timeout_us != 0 || closing_timeout_us != 0 || max_age_us != 0; }
  bool reading_file() const { return !read_file.empty() || !read_list.empty(); }
  // Whether connections need more than their table entries hold: the records
  // themselves, interval rows, or the percentiles of the JSON report.
  bool keeps_records() const {
    return !conns_file.empty() || !intervals_file.empty() || gathers_percentiles();
  }
  // Whether the percentiles of the counted connections are gathered: the JSON
  // report, the summary and the page show them.
  bool gathers_percentiles() const { return json || summary || !html_file.empty(); }
  // Whether the run counts the IPv6 and VLAN-tagged segments it does not read, so
  // that the summary and the page can say how many there were.
  bool counts_other_framings() const { return !decode_all && (summary || !html_file.empty()); }
  // Whether the capture filter passes every framing --decode-all reads: with
  // --decode-all, or to count what a run without it passes over (the packet loop
  // then hands the tracker exactly what the classic filter passes).
  bool wide_filter() const { return decode_all || counts_other_framings(); }
  // Whether standard output carries JSON or rows rather than the text report.
  bool data_on_stdout() const {
    return json || conns_file == STANDARD_OUTPUT_NAME || intervals_file == STANDARD_OUTPUT_NAME;
  }
};
