#include "run/command_line.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cerrno>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "run/file_identity.h"
#include "stats/bucket_layout.h"
#include "stats/run_stats.h"

namespace {

// Every line of the usage text, in order. %s is the program name.
constexpr const char* USAGE_LINES[] = {
    "Usage: %s -p port [-d] [-R] [-r from_file] [-w to_file] [-i ifname] [-n nbuckets] "
    "[-s bucket size] [-X max-srvr-rsp-size] [ -x max-clnt-req-size] [-T]  [-D msecs] "
    "[-P|-C|-S] [-c num_attempts] [-I timespec] [filter]\n",
    "-d: Debug on (default off)\n",
    "-c: Print connections that took >= num_attempts to establish\n",
    "-R: Raw format output. Useful for scripts\n",
    "-r: Data is read from file instead of live interface\n",
    "-w: Data is written to a file.\n",
    "-i: Interface name (default is ethernet interface)\n",
    "-n: Number of buckets for getting the distribution. Default 20\n",
    "-s: Bucket size (connection life time). Default 20ms\n",
    "-t: Run time in seconds (default 60)\n",
    "-X: Consider only those connections where the server sends data less than this "
    "number. 0 considers all conns (default)\n",
    "-x: Consider only those connections where the client sends data less than this "
    "number. 0 considers all conns (default)\n",
    "-Y: Consider only those connections where the server sends data more than this "
    "number. 0 considers all conns (default)\n",
    "-y: Consider only those connections where the client sends data more than this "
    "number. 0 considers all conns (default)\n",
    "  Only one of -x or -X can be specified\n",
    "-T: Attempt to estimate round trip time\n",
    "  Estimates may be wrong if the command is run on the server side. See man page.\n",
    "-D: Print connection filters for the bucket starting with this value\n",
    "  Useful when portsift reads from file. You can then filter by port to look at "
    "individual connection trace\n",
    "-p: port number you want to monitor. Must be specified\n",
    "-I: Consider pkts newer than this time. Specify in HH:MM:SS or YYYY-MM-DD.HH:MM:SS "
    "format\n",
    "-P for sorting the output by throughput\n",
    "-C for sorting the output by number of bytes sent by client\n",
    "-S for sorting the output by number of bytes sent by server\n",
    "filter: Optional, specified as in tcpdump(1)\n",
    "Connections are placed in one of the buckets depending on duration\n",
    "You must be super-user to run this program\n",
    "Type 'man portsift' for more information\n",
};

// POSIX order: the leading '+' stops glibc from permuting, so parsing ends at the
// first word that is not an option and the rest become capture-filter words.
constexpr char OPTSTRING[] = "+I:Rc:m:V:w:x:X:y:Y:t:n:s:p:r:i:dTD:SPCZ:";

// The long options: the capabilities added beyond the classic single-letter ones.
// Their codes lie above every character, so they never meet a short option.
enum LongOption : int {
  OPT_HELP = 256,
  OPT_VERSION,
  OPT_MAX_CONNS,
  OPT_LIBPCAP_READ,
  OPT_CONNS,
  OPT_CONNS_FORMAT,
  OPT_JSON,
  OPT_INTERVAL,
  OPT_INTERVALS,
  OPT_INTERVALS_FORMAT,
  OPT_DECODE_ALL,
  OPT_READ_LIST,
  OPT_MAX_PORTS,
  OPT_METRICS,
  OPT_WEB_CONFIG,
  OPT_METRICS_FILE,
  OPT_USER,
  OPT_SYN_TIMEOUT,
  OPT_CLOSING_TIMEOUT,
  OPT_MAX_AGE,
  OPT_SUMMARY,
  OPT_HTML,
};

struct LongOptionInfo {
  struct option opt;
  const char* arg_name;  // shown in --help; nullptr: the option takes no argument
  const char* help;
};

constexpr LongOptionInfo LONG_OPTIONS[] = {
    {{"help", no_argument, nullptr, OPT_HELP},
     nullptr,
     "print this text on standard output and exit"},
    {{"version", no_argument, nullptr, OPT_VERSION}, nullptr, "print the version and exit"},
    {{"max-conns", required_argument, nullptr, OPT_MAX_CONNS},
     "N",
     "follow at most N connections at once; SYNs of more are counted only"},
    {{"libpcap-read", no_argument, nullptr, OPT_LIBPCAP_READ},
     nullptr,
     "read capture files through libpcap only (slower; the reports are the same)"},
    {{"conns", required_argument, nullptr, OPT_CONNS},
     "FILE",
     "one record per connection (.csv, .json, .jsonl, .ndjson; - for standard output)"},
    {{"conns-format", required_argument, nullptr, OPT_CONNS_FORMAT},
     "csv|json",
     "the --conns format, whatever the file is named"},
    {{"json", no_argument, nullptr, OPT_JSON},
     nullptr,
     "the report as one JSON object, with percentiles"},
    {{"summary", no_argument, nullptr, OPT_SUMMARY},
     nullptr,
     "a one-screen report instead: refusals, percentiles with units"},
    {{"html", required_argument, nullptr, OPT_HTML},
     "FILE",
     "also write the report as one self-contained HTML page"},
    {{"interval", required_argument, nullptr, OPT_INTERVAL},
     "SECS",
     "the length of the intervals of --intervals"},
    {{"intervals", required_argument, nullptr, OPT_INTERVALS},
     "FILE",
     "one row per interval of the run (named as for --conns)"},
    {{"intervals-format", required_argument, nullptr, OPT_INTERVALS_FORMAT},
     "csv|json",
     "the --intervals format, whatever the file is named"},
    {{"decode-all", no_argument, nullptr, OPT_DECODE_ALL},
     nullptr,
     "also read IPv6, VLAN tags, Linux cooked (-i any) and raw IP captures"},
    {{"read-list", required_argument, nullptr, OPT_READ_LIST},
     "FILE",
     "read the capture files FILE names, one a line (- reads the names from standard input)"},
    {{"max-ports", required_argument, nullptr, OPT_MAX_PORTS},
     "N",
     "with -p any: watch at most N ports (default 1024); SYNs to more are counted only"},
    {{"metrics", required_argument, nullptr, OPT_METRICS},
     "[ADDR:]PORT",
     "serve Prometheus metrics at /metrics (ADDR 127.0.0.1 unless given); run until a signal"},
    {{"web-config", required_argument, nullptr, OPT_WEB_CONFIG},
     "FILE",
     "TLS and basic authentication for --metrics (exporter toolkit format)"},
    {{"metrics-file", required_argument, nullptr, OPT_METRICS_FILE},
     "PATH",
     "write the metrics to PATH (atomically) at each interval and at the end"},
    {{"user", required_argument, nullptr, OPT_USER},
     "USER",
     "run as USER once the capture is open (as -Z)"},
    {{"syn-timeout", required_argument, nullptr, OPT_SYN_TIMEOUT},
     "SECS",
     "an attempt without a SYN-ACK leaves the table after SECS (0: never)"},
    {{"closing-timeout", required_argument, nullptr, OPT_CLOSING_TIMEOUT},
     "SECS",
     "a closing connection whose answer never came leaves after SECS (0: never)"},
    {{"max-age", required_argument, nullptr, OPT_MAX_AGE},
     "SECS",
     "an established connection leaves the table SECS after its SYN (0: never)"},
};

// The connection table numbers its records in 32 bits.
constexpr unsigned long long MAX_CONNS_LIMIT = UINT32_MAX - 1;

// The word -p takes for "every port that receives a SYN".
constexpr char ANY_PORT_WORD[] = "any";

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, fmt, again);
  va_end(again);
  return text;
}

// The command line is refused: `err` on standard error, the usage text after it when
// `usage`, then exit status 1.
ParseResult refused(std::string err, bool usage) {
  ParseResult r;
  r.status = EXIT_FAILURE;
  r.err = std::move(err);
  r.usage = usage;
  return r;
}

// The table getopt_long() reads, ended by a zero entry.
std::vector<struct option> getopt_long_table() {
  std::vector<struct option> table;
  for (const LongOptionInfo& o : LONG_OPTIONS) table.push_back(o.opt);
  table.push_back(option{nullptr, 0, nullptr, 0});
  return table;
}

// --help: the usage text, then the long options, on standard output.
ParseResult help(const char* program_name) {
  ParseResult r;
  for (const char* line : USAGE_LINES) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    r.out += format(line, program_name);
#pragma GCC diagnostic pop
  }
  r.out += "Long options:\n";
  static constexpr char OPTION_FMT[] = "  --%-26s %s\n";
  for (const LongOptionInfo& o : LONG_OPTIONS) {
    std::string name = o.opt.name;
    if (o.arg_name != nullptr) name = name + " " + o.arg_name;
    r.out += format(OPTION_FMT, name.c_str(), o.help);
  }
  return r;
}

ParseResult version() {
  static constexpr char VERSION_FMT[] = "portsift %s\n";
  ParseResult r;
  r.out = format(VERSION_FMT, PORTSIFT_VERSION);
  return r;
}

// --max-conns: a whole number of connections from 1 up; anything else is refused
// rather than read as atoi() would (0 would silently follow nothing).
bool read_max_conns(const char* arg, size_t* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(arg, &end, 10);
  if (*arg == '\0' || *arg == '-' || *end != '\0' || errno != 0 || n == 0 || n > MAX_CONNS_LIMIT)
    return false;
  *out = static_cast<size_t>(n);
  return true;
}

// Whether a -p value is a list of ports and ranges ("80,443", "8000-8010,9090"): made
// only of digits, commas and dashes, with a comma or dash between two digits. Any
// other value, a single number among them, is read as a port always was (atoi(),
// its low 16 bits), so that scripts see the same results and messages.
bool is_port_list(const char* text) {
  bool separated = false;  // a separator follows a digit
  bool list = false;
  for (const char* p = text; *p != '\0'; ++p) {
    const bool digit = *p >= '0' && *p <= '9';
    if (!digit && *p != ',' && *p != '-') return false;
    if (digit && separated) list = true;
    if (digit) separated = false;
    if (!digit && p != text && (p[-1] >= '0' && p[-1] <= '9')) separated = true;
  }
  return list;
}

// A port of a list: digits only, from 1 to 65535.
bool read_list_port(const std::string& word, uint16_t* port) {
  if (word.empty() || word.size() > 5) return false;
  unsigned long n = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned long>(c - '0');
  }
  if (n == 0 || n > 65535) return false;
  *port = static_cast<uint16_t>(n);
  return true;
}

// Reads "80,443,8000-8010" into its ports, in the order given (a range ascending).
// False with the reason when an element is empty or not a port from 1 to 65535, a
// range is empty, or a port is named twice.
bool read_port_list(const char* prog, const std::string& text, std::vector<uint16_t>* ports,
                    std::string* error) {
  std::vector<bool> seen(65536, false);
  ports->clear();
  size_t at = 0;
  while (true) {
    const size_t comma = text.find(',', at);
    const std::string item = text.substr(at, comma == std::string::npos ? std::string::npos
                                                                         : comma - at);
    const size_t dash = item.find('-');
    uint16_t lo = 0, hi = 0;
    const bool read = dash == std::string::npos
                          ? read_list_port(item, &lo) && (hi = lo, true)
                          : read_list_port(item.substr(0, dash), &lo) &&
                                read_list_port(item.substr(dash + 1), &hi);
    if (!read) {
      static constexpr char BAD_ITEM_FMT[] =
          "%s: -p %s: '%s' is not a port from 1 to 65535 or a range of them (80,443,8000-8010)\n";
      *error = format(BAD_ITEM_FMT, prog, text.c_str(), item.c_str());
      return false;
    }
    if (lo > hi) {
      static constexpr char EMPTY_RANGE_FMT[] = "%s: -p %s: the range %s holds no port\n";
      *error = format(EMPTY_RANGE_FMT, prog, text.c_str(), item.c_str());
      return false;
    }
    for (uint32_t p = lo; p <= hi; ++p) {
      if (seen[p]) {
        static constexpr char TWICE_FMT[] = "%s: -p %s: port %u is named twice\n";
        *error = format(TWICE_FMT, prog, text.c_str(), static_cast<unsigned>(p));
        return false;
      }
      seen[p] = true;
      ports->push_back(static_cast<uint16_t>(p));
    }
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

// A number of seconds from 0 (never) to a year, fractions allowed, in microseconds.
bool read_seconds(const char* text, int64_t* us) {
  char* end = nullptr;
  errno = 0;
  const double secs = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !(secs >= 0 && secs <= 31536000)) return false;
  *us = static_cast<int64_t>(std::llround(secs * 1e6));
  return true;
}

// --metrics [ADDR:]PORT: an IPv4 address, or an IPv6 one in brackets, then a port; a
// bare port listens on 127.0.0.1, so that nothing is served beyond this host unless
// asked for.
bool read_metrics_address(const std::string& text, std::string* address, uint16_t* port) {
  std::string host = "127.0.0.1", port_text = text;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    port_text = text.substr(close + 2);
    in6_addr a6;
    if (inet_pton(AF_INET6, host.c_str(), &a6) != 1) return false;
  } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    port_text = text.substr(colon + 1);
    in_addr a4;
    if (inet_pton(AF_INET, host.c_str(), &a4) != 1) return false;
  }
  if (port_text.empty() || port_text.size() > 5 ||
      port_text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long n = std::strtoul(port_text.c_str(), nullptr, 10);
  if (n == 0 || n > 65535) return false;
  *address = host;
  *port = static_cast<uint16_t>(n);
  return true;
}

// Byte thresholds and -c take atoi()'s int and widen it with its sign, so -x -1
// means "no limit" and -Y -1 rejects everything.
uint64_t widen_signed(int value) { return static_cast<uint64_t>(static_cast<int64_t>(value)); }

std::string cut_file_name(const char* arg) {
  std::string name(arg);
  if (name.size() > MAX_FILE_NAME) name.resize(MAX_FILE_NAME);
  return name;
}

// Reads the -I text once, into the zeroed calendar record the first packet's date
// will complete.
bool read_since_text(Settings& s, ParseResult* refusal) {
  struct tm parsed;
  std::memset(&parsed, 0, sizeof parsed);
  const char* rest = strptime(s.since_text.c_str(), since_format(s.since_text), &parsed);
  if (rest == nullptr) {
    static constexpr char BAD_TIME_FMT[] = "Illegal time string\n";
    *refusal = refused(BAD_TIME_FMT, true);
    return false;
  }
  if (*rest != '\0') {
    static constexpr char TIME_REST_FMT[] = "Illegal time string: %s\n";
    *refusal = refused(format(TIME_REST_FMT, rest), true);
    return false;
  }
  s.since_fields = parsed;
  return true;
}

bool check_byte_pairs(const Settings& s, ParseResult* refusal) {
  // The thresholds are printed as signed values, as they were typed.
  if (s.min_client_bytes != 0 && s.max_client_bytes != 0 &&
      s.max_client_bytes <= s.min_client_bytes) {
    static constexpr char CLIENT_PAIR_FMT[] = "Client requests < %" PRId64 " and > %" PRId64 "?\n";
    *refusal = refused(format(CLIENT_PAIR_FMT, static_cast<int64_t>(s.max_client_bytes),
                              static_cast<int64_t>(s.min_client_bytes)),
                       true);
    return false;
  }
  if (s.min_server_bytes != 0 && s.max_server_bytes != 0 &&
      s.max_server_bytes <= s.min_server_bytes) {
    static constexpr char SERVER_PAIR_FMT[] = "Server responses < %" PRId64 " and > %" PRId64 "?\n";
    *refusal = refused(format(SERVER_PAIR_FMT, static_cast<int64_t>(s.max_server_bytes),
                              static_cast<int64_t>(s.min_server_bytes)),
                       true);
    return false;
  }
  return true;
}

// --conns-format and --intervals-format: the format named, or BY_NAME for a word
// that names none (refused once the command line has been read).
struct FormatWord {
  std::string word;
  bool given = false;
};

bool parse_format(const FormatWord& w, RowFormat* out) {
  if (!w.given) return true;
  if (w.word == "csv") {
    *out = RowFormat::CSV;
    return true;
  }
  if (w.word == "json" || w.word == "jsonl" || w.word == "ndjson") {
    *out = RowFormat::JSON_LINES;
    return true;
  }
  return false;
}

bool ends_with(const std::string& name, const char* ending) {
  const size_t n = std::strlen(ending);
  if (name.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) != ending[i])
      return false;
  return true;
}

// The format a file's name asks for; BY_NAME when it asks for none. Standard output
// gets CSV.
RowFormat format_of_name(const std::string& name) {
  if (name == STANDARD_OUTPUT_NAME || ends_with(name, ".csv")) return RowFormat::CSV;
  for (const char* ending : {".json", ".jsonl", ".ndjson"})
    if (ends_with(name, ending)) return RowFormat::JSON_LINES;
  return RowFormat::BY_NAME;
}

struct RecordWords {
  bool max_ports_given = false;
  bool max_conns_given = false;
  bool syn_timeout_given = false;
  bool closing_timeout_given = false;
  FormatWord conns_format;
  FormatWord intervals_format;
  std::string interval;  // the --interval text
  bool interval_given = false;
};

// The checks of the long options that write records, rows or JSON: after every
// classic check, so that a command line without them fails as it always did.
bool validate_records(Settings& s, const RecordWords& words, ParseResult* refusal) {
  const char* prog = s.program_name.c_str();
  const bool rows = !s.conns_file.empty() || !s.intervals_file.empty() || words.interval_given;
  if (s.write_mode() && (rows || s.json)) {
    static constexpr char WITH_WRITE_FMT[] =
        "%s: -w copies packets and makes no report; --conns, --intervals, --interval and "
        "--json need a report run\n";
    *refusal = refused(format(WITH_WRITE_FMT, prog), false);
    return false;
  }
  if (s.write_mode() && (s.summary || !s.html_file.empty())) {
    static constexpr char PAGE_WITH_WRITE_FMT[] =
        "%s: -w copies packets and makes no report; --summary and --html need a report run\n";
    *refusal = refused(format(PAGE_WITH_WRITE_FMT, prog), false);
    return false;
  }
  const struct {
    const char* option;
    const FormatWord& word;
    std::string& file;
    RowFormat& format;
  } outputs[] = {
      {"--conns", words.conns_format, s.conns_file, s.conns_format},
      {"--intervals", words.intervals_format, s.intervals_file, s.intervals_format},
  };
  for (const auto& o : outputs) {
    if (!parse_format(o.word, &o.format)) {
      static constexpr char BAD_FORMAT_FMT[] = "%s: %s-format takes csv or json, not '%s'\n";
      *refusal = refused(format(BAD_FORMAT_FMT, prog, o.option, o.word.word.c_str()), false);
      return false;
    }
    if (o.file.empty()) continue;
    if (o.format == RowFormat::BY_NAME) o.format = format_of_name(o.file);
    if (o.format == RowFormat::BY_NAME) {
      static constexpr char UNKNOWN_NAME_FMT[] =
          "%s: cannot tell the format of %s from its name: end it in .csv, .json, .jsonl or "
          ".ndjson, or give %s-format csv|json\n";
      *refusal = refused(format(UNKNOWN_NAME_FMT, prog, o.file.c_str(), o.option), false);
      return false;
    }
  }
  if (words.interval_given) {
    // Whole microseconds from 1 ms to about 31 years: shorter intervals would only
    // write empty rows, and longer ones would overflow the time arithmetic.
    const char* text = words.interval.c_str();
    char* end = nullptr;
    errno = 0;
    const double secs = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !(secs >= 0.001 && secs <= 1e9)) {
      static constexpr char BAD_INTERVAL_FMT[] =
          "%s: --interval takes a number of seconds from 0.001 to 1000000000, not '%s'\n";
      *refusal = refused(format(BAD_INTERVAL_FMT, prog, text), false);
      return false;
    }
    s.interval_us = static_cast<int64_t>(std::llround(secs * 1e6));
  }
  if (words.interval_given && s.intervals_file.empty()) {
    static constexpr char NO_FILE_FMT[] = "%s: --interval needs --intervals FILE\n";
    *refusal = refused(format(NO_FILE_FMT, prog), false);
    return false;
  }
  if (!s.intervals_file.empty() && !words.interval_given) {
    static constexpr char NO_LENGTH_FMT[] = "%s: --intervals needs --interval SECS\n";
    *refusal = refused(format(NO_LENGTH_FMT, prog), false);
    return false;
  }
  const int on_stdout = static_cast<int>(s.json) + (s.conns_file == STANDARD_OUTPUT_NAME) +
                        (s.intervals_file == STANDARD_OUTPUT_NAME);
  if (on_stdout > 1) {
    static constexpr char TWO_ON_STDOUT_FMT[] =
        "%s: only one of --json, --conns - and --intervals - can use standard output\n";
    *refusal = refused(format(TWO_ON_STDOUT_FMT, prog), false);
    return false;
  }
  if (s.summary && on_stdout > 0) {
    static constexpr char SUMMARY_STDOUT_FMT[] =
        "%s: --summary writes its report on standard output: it cannot be combined with "
        "--json, --conns - or --intervals -\n";
    *refusal = refused(format(SUMMARY_STDOUT_FMT, prog), false);
    return false;
  }
  for (const std::string* other : {&s.conns_file, &s.intervals_file}) {
    if (s.html_file.empty() || *other != s.html_file || is_device(s.html_file)) continue;
    static constexpr char HTML_SAME_FMT[] = "%s: --html names the file of %s\n";
    *refusal = refused(
        format(HTML_SAME_FMT, prog, other == &s.conns_file ? "--conns" : "--intervals"), false);
    return false;
  }
  if (!s.conns_file.empty() && s.conns_file == s.intervals_file && !is_device(s.conns_file)) {
    static constexpr char SAME_FILE_FMT[] = "%s: --conns and --intervals name the same file\n";
    *refusal = refused(format(SAME_FILE_FMT, prog), false);
    return false;
  }
  if ((s.json || s.summary) &&
      (s.report_variant == REPORT_BRIEF || s.report_variant == REPORT_OPEN_LISTING)) {
    static constexpr char JSON_VARIANT_FMT[] =
        "%s: %s replaces the text report and cannot be combined with -V %d\n";
    *refusal = refused(
        format(JSON_VARIANT_FMT, prog, s.json ? "--json" : "--summary", s.report_variant), false);
    return false;
  }
  return true;
}

// The checks of a continuous run's options, and its defaults: last, so that every
// command line without them fails as it always did.
bool validate_service(Settings& s, const RecordWords& words, ParseResult* refusal) {
  const char* prog = s.program_name.c_str();
  if (s.metrics && (s.reading_file() || s.write_mode())) {
    static constexpr char METRICS_LIVE_FMT[] =
        "%s: --metrics serves a live capture run; for a capture file or write mode use "
        "--metrics-file\n";
    *refusal = refused(format(METRICS_LIVE_FMT, prog), false);
    return false;
  }
  if (!s.web_config.empty() && !s.metrics) {
    static constexpr char WEB_CONFIG_ALONE_FMT[] = "%s: --web-config needs --metrics\n";
    *refusal = refused(format(WEB_CONFIG_ALONE_FMT, prog), false);
    return false;
  }
  if (!s.metrics_file.empty() && s.write_mode()) {
    static constexpr char FILE_WRITE_FMT[] =
        "%s: -w copies packets and makes no report; --metrics-file needs a report run\n";
    *refusal = refused(format(FILE_WRITE_FMT, prog), false);
    return false;
  }
  if (s.metrics) {
    // Weeks of running: the table must be bounded, and records that can change no
    // figure must leave it.
    if (!words.max_conns_given) {
      s.max_conns = DEFAULT_METRICS_MAX_CONNS;
      s.max_conns_default = true;
    }
    if (!words.syn_timeout_given) s.syn_timeout_us = DEFAULT_SYN_TIMEOUT_US;
    if (!words.closing_timeout_given) s.closing_timeout_us = DEFAULT_CLOSING_TIMEOUT_US;
  }
  return true;
}

// --read-list names the capture as -r does: one of them.
bool validate_inputs(const Settings& s, ParseResult* refusal) {
  if (!s.read_list.empty() && !s.read_file.empty()) {
    static constexpr char TWO_INPUTS_FMT[] = "%s: -r and --read-list both name the capture\n";
    *refusal = refused(format(TWO_INPUTS_FMT, s.program_name.c_str()), false);
    return false;
  }
  return true;
}

// The steps after the options, in their order; false with the refusal at the first
// that fails.
bool validate(Settings& s, const RecordWords& words, ParseResult* refusal) {
  if (s.has_since && !read_since_text(s, refusal)) return false;

  if (s.status_every != 0 && s.report_variant != REPORT_OPEN_LISTING) {
    // The parser's own wording, on standard output.
    static constexpr char M_REJECTED_FMT[] = "%s: illegal option -- m\n";
    *refusal = refused("", true);
    refusal->out = format(M_REJECTED_FMT, s.program_name.c_str());
    return false;
  }

  if (!s.write_mode()) {
    if (s.nbuckets == 0) s.nbuckets = DEFAULT_NBUCKETS;
    if (s.bucket_size == 0) s.bucket_size = DEFAULT_BUCKET_SIZE;
  }

  // Uses nbuckets before the byte layout may lower it.
  s.filter_to = derive_filter_to(s);

  if (!check_byte_pairs(s, refusal)) return false;
  derive_byte_layout(s);

  if (s.port == 0 && !s.any_port) {
    static constexpr char NO_PORT_FMT[] = "Port must be specified\n";
    *refusal = refused(NO_PORT_FMT, true);
    return false;
  }

  if (!s.write_mode()) {
    if (!(s.nbuckets > 0 && s.bucket_size > 0 && s.run_time != 0)) {
      static constexpr char BAD_VALUES_FMT[] = "Illegal value for options\n";
      *refusal = refused(BAD_VALUES_FMT, false);
      return false;
    }
    // The monitor takes its table when the run starts; a table too large to be had
    // is refused here, in its place among the checks.
    if (!bucket_table_fits(s.nbuckets)) {
      // perror()'s wording for "malloc:".
      static constexpr char NO_MEMORY_FMT[] = "malloc:: %s\n";
      *refusal = refused(format(NO_MEMORY_FMT, std::strerror(ENOMEM)), false);
      return false;
    }
  }

  if (!validate_records(s, words, refusal)) return false;
  if (words.max_ports_given && !s.any_port) {
    static constexpr char MAX_PORTS_ALONE_FMT[] =
        "%s: --max-ports bounds the ports -p any finds; give -p any with it\n";
    *refusal = refused(format(MAX_PORTS_ALONE_FMT, s.program_name.c_str()), false);
    return false;
  }
  if (!validate_service(s, words, refusal)) return false;
  if (!s.any_port && s.ports.empty()) s.ports.push_back(s.port);
  return validate_inputs(s, refusal);
}

}  // namespace

const char* since_format(const std::string& text) {
  return text.find('-') != std::string::npos ? "%Y-%m-%d.%H:%M:%S" : "%H:%M:%S";
}

void print_usage(FILE* err, const char* program_name) {
  for (const char* line : USAGE_LINES) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::fprintf(err, line, program_name);
#pragma GCC diagnostic pop
  }
}

ParseResult parse_options(int argc, char** argv, Settings* settings) {
  Settings& s = *settings;
  s = Settings{};
  s.program_name = argc > 0 && argv[0] ? argv[0] : "portsift";
  const char* prog = s.program_name.c_str();
  // Only usage: the option is refused without a word of its own.
  const ParseResult bare_usage = refused("", true);

  optind = 0;  // glibc: full re-initialisation, so the command line may be read again
  const std::vector<struct option> long_options = getopt_long_table();
  RecordWords words;
  int opt;
  while ((opt = getopt_long(argc, argv, OPTSTRING, long_options.data(), nullptr)) != -1) {
    switch (opt) {
      case OPT_HELP:
        return help(prog);
      case OPT_VERSION:
        return version();
      case OPT_MAX_CONNS:
        words.max_conns_given = true;
        if (!read_max_conns(optarg, &s.max_conns)) {
          static constexpr char BAD_MAX_CONNS_FMT[] =
              "%s: --max-conns takes a number of connections from 1 to %llu, not '%s'\n";
          return refused(format(BAD_MAX_CONNS_FMT, prog, MAX_CONNS_LIMIT, optarg), true);
        }
        break;
      case OPT_LIBPCAP_READ:
        s.libpcap_read = true;
        break;
      case OPT_CONNS:
      case OPT_INTERVALS: {
        // An empty name is refused: unlike -r and -w, which take it for "not given".
        const char* option = opt == OPT_CONNS ? "--conns" : "--intervals";
        if (*optarg == '\0') {
          static constexpr char EMPTY_NAME_FMT[] =
              "%s: %s needs a file name, or - for standard output\n";
          return refused(format(EMPTY_NAME_FMT, prog, option), false);
        }
        (opt == OPT_CONNS ? s.conns_file : s.intervals_file) = cut_file_name(optarg);
        break;
      }
      case OPT_CONNS_FORMAT:
        words.conns_format = FormatWord{optarg, true};
        break;
      case OPT_JSON:
        s.json = true;
        break;
      case OPT_SUMMARY:
        s.summary = true;
        break;
      case OPT_HTML:
        if (*optarg == '\0' || std::strcmp(optarg, STANDARD_OUTPUT_NAME) == 0) {
          static constexpr char HTML_NAME_FMT[] = "%s: --html needs the name of a file to write\n";
          return refused(format(HTML_NAME_FMT, prog), false);
        }
        s.html_file = cut_file_name(optarg);
        break;
      case OPT_INTERVAL:
        words.interval = optarg;
        words.interval_given = true;
        break;
      case OPT_INTERVALS_FORMAT:
        words.intervals_format = FormatWord{optarg, true};
        break;
      case OPT_DECODE_ALL:
        s.decode_all = true;
        break;
      case OPT_READ_LIST:
        if (!s.read_list.empty() || *optarg == '\0') {
          static constexpr char READ_LIST_FMT[] =
              "%s: --read-list takes one file of names, given once\n";
          return refused(format(READ_LIST_FMT, prog), false);
        }
        s.read_list = cut_file_name(optarg);
        break;
      case 'p':
        // The last -p counts, as for every option.
        s.any_port = std::strcmp(optarg, ANY_PORT_WORD) == 0;
        s.ports.clear();
        if (s.any_port) {
          s.port = 0;
        } else if (is_port_list(optarg)) {
          std::string error;
          if (!read_port_list(prog, optarg, &s.ports, &error)) return refused(error, false);
          s.port = s.ports.front();
        } else {
          s.port = static_cast<uint16_t>(std::atoi(optarg));  // keeps the low 16 bits
        }
        break;
      case OPT_METRICS:
        if (!read_metrics_address(optarg, &s.metrics_address, &s.metrics_port)) {
          static constexpr char BAD_METRICS_FMT[] =
              "%s: --metrics takes [ADDR:]PORT (9920, 127.0.0.1:9920, [::1]:9920), not '%s'\n";
          return refused(format(BAD_METRICS_FMT, prog, optarg), false);
        }
        s.metrics = true;
        break;
      case OPT_WEB_CONFIG:
      case OPT_METRICS_FILE:
      case 'Z':
      case OPT_USER: {
        const char* option = opt == OPT_WEB_CONFIG     ? "--web-config"
                             : opt == OPT_METRICS_FILE ? "--metrics-file"
                             : opt == 'Z'              ? "-Z"
                                                       : "--user";
        if (*optarg == '\0') {
          static constexpr char EMPTY_FMT[] = "%s: %s needs a value\n";
          return refused(format(EMPTY_FMT, prog, option), false);
        }
        (opt == OPT_WEB_CONFIG ? s.web_config : opt == OPT_METRICS_FILE ? s.metrics_file : s.user) =
            optarg;
        break;
      }
      case OPT_SYN_TIMEOUT:
      case OPT_CLOSING_TIMEOUT:
      case OPT_MAX_AGE: {
        const char* option = opt == OPT_SYN_TIMEOUT       ? "--syn-timeout"
                             : opt == OPT_CLOSING_TIMEOUT ? "--closing-timeout"
                                                          : "--max-age";
        int64_t* field = opt == OPT_SYN_TIMEOUT       ? &s.syn_timeout_us
                         : opt == OPT_CLOSING_TIMEOUT ? &s.closing_timeout_us
                                                      : &s.max_age_us;
        if (!read_seconds(optarg, field)) {
          static constexpr char BAD_SECONDS_FMT[] =
              "%s: %s takes a number of seconds from 0 (never) to 31536000, not '%s'\n";
          return refused(format(BAD_SECONDS_FMT, prog, option, optarg), false);
        }
        if (opt == OPT_SYN_TIMEOUT) words.syn_timeout_given = true;
        if (opt == OPT_CLOSING_TIMEOUT) words.closing_timeout_given = true;
        break;
      }
      case OPT_MAX_PORTS: {
        char* end = nullptr;
        errno = 0;
        const unsigned long n = std::strtoul(optarg, &end, 10);
        if (*optarg == '\0' || *optarg == '-' || *end != '\0' || errno != 0 || n == 0 ||
            n > 65535) {
          static constexpr char BAD_MAX_PORTS_FMT[] =
              "%s: --max-ports takes a number of ports from 1 to 65535, not '%s'\n";
          return refused(format(BAD_MAX_PORTS_FMT, prog, optarg), true);
        }
        s.max_ports = n;
        words.max_ports_given = true;
        break;
      }
      case 'd':
        s.debug++;
        break;
      case 'R':
        s.raw = true;
        break;
      case 'r':
        if (!s.read_file.empty()) return bare_usage;
        s.read_file = cut_file_name(optarg);
        break;
      case 'w':
        if (!s.write_file.empty()) return bare_usage;
        s.write_file = cut_file_name(optarg);
        break;
      case 'i':
        if (s.has_interface) return bare_usage;
        s.has_interface = true;
        s.interface = optarg;
        break;
      case 'n':
        s.nbuckets = std::atoi(optarg);
        break;
      case 's':
        s.bucket_size = std::atoi(optarg);
        break;
      case 't':
        s.run_time = std::atoi(optarg);
        s.run_time_given = true;
        break;
      case 'X':
        s.max_server_bytes = widen_signed(std::atoi(optarg));
        break;
      case 'x':
        s.max_client_bytes = widen_signed(std::atoi(optarg));
        break;
      case 'Y':
        s.min_server_bytes = widen_signed(std::atoi(optarg));
        break;
      case 'y':
        s.min_client_bytes = widen_signed(std::atoi(optarg));
        break;
      case 'T':
        s.rtt_enabled = true;
        break;
      case 'D':
        s.filter_from = std::atoi(optarg);
        break;
      case 'P':
      case 'C':
      case 'S':
        if (s.sort_mode != BY_DURATION) {
          static constexpr char ONE_SORT_FMT[] = "Only one of -S,-P or -C please\n";
          return refused(ONE_SORT_FMT, true);
        }
        s.sort_mode = opt == 'P' ? BY_THROUGHPUT : opt == 'C' ? BY_CLIENT_BYTES : BY_SERVER_BYTES;
        break;
      case 'c':
        s.min_syns = widen_signed(std::atoi(optarg));
        break;
      case 'I':
        s.has_since = true;
        s.since_text = optarg;
        break;
      case 'V':
        s.report_variant = std::atoi(optarg);
        break;
      case 'm':
        s.status_every = std::atoi(optarg);
        break;
      default:  // getopt has already complained
        return bare_usage;
    }
  }
  for (int i = optind; i < argc; ++i) s.filter_words.emplace_back(argv[i]);

  ParseResult result;
  if (!validate(s, words, &result)) return result;
  result.run = true;
  return result;
}
