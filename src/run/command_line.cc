#include "run/command_line.h"

#include <getopt.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/settings.h"
#include "run/fail.h"
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
constexpr char OPTSTRING[] = "+I:Rc:m:V:w:x:X:y:Y:t:n:s:p:r:i:dTD:SPC";

// The long options: the capabilities added beyond the classic single-letter ones.
// Their codes lie above every character, so they never meet a short option.
enum LongOption : int {
  OPT_HELP = 256,
  OPT_VERSION,
  OPT_MAX_CONNS,
  OPT_LIBPCAP_READ,
  OPT_DECODE_ALL,
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
    {{"decode-all", no_argument, nullptr, OPT_DECODE_ALL},
     nullptr,
     "also read IPv6, VLAN tags, Linux cooked (-i any) and raw IP captures"},
};

// The connection table numbers its records in 32 bits.
constexpr unsigned long long MAX_CONNS_LIMIT = UINT32_MAX - 1;

// --max-conns: a whole number of connections from 1 up; anything else is refused
// rather than read as atoi() would (0 would silently follow nothing).
size_t read_max_conns(const char* arg, const char* program_name) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(arg, &end, 10);
  if (*arg == '\0' || *arg == '-' || *end != '\0' || errno != 0 || n == 0 || n > MAX_CONNS_LIMIT) {
    static constexpr char BAD_MAX_CONNS_FMT[] =
        "%s: --max-conns takes a number of connections from 1 to %llu, not '%s'\n";
    std::fprintf(stderr, BAD_MAX_CONNS_FMT, program_name, MAX_CONNS_LIMIT, arg);
    usage(program_name);
  }
  return static_cast<size_t>(n);
}

// The table getopt_long() reads, ended by a zero entry.
std::vector<struct option> getopt_long_table() {
  std::vector<struct option> table;
  for (const LongOptionInfo& o : LONG_OPTIONS) table.push_back(o.opt);
  table.push_back(option{nullptr, 0, nullptr, 0});
  return table;
}

// --help: the usage text, then the long options, on standard output.
[[noreturn]] void print_help(const char* program_name) {
  for (const char* line : USAGE_LINES) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::printf(line, program_name);
#pragma GCC diagnostic pop
  }
  std::puts("Long options:");
  static constexpr char OPTION_FMT[] = "  --%-24s %s\n";
  for (const LongOptionInfo& o : LONG_OPTIONS) {
    std::string name = o.opt.name;
    if (o.arg_name != nullptr) name = name + " " + o.arg_name;
    std::printf(OPTION_FMT, name.c_str(), o.help);
  }
  std::exit(0);
}

[[noreturn]] void print_version() {
  static constexpr char VERSION_FMT[] = "portsift %s\n";
  std::printf(VERSION_FMT, PORTSIFT_VERSION);
  std::exit(0);
}

// Byte thresholds and -c take atoi()'s int and widen it with its sign, so -x -1
// means "no limit" and -Y -1 rejects everything.
uint64_t widen_signed(int value) { return static_cast<uint64_t>(static_cast<int64_t>(value)); }

// Wrapping signed 32-bit arithmetic: the bucket layout is defined on 32-bit values
// and must not overflow into undefined behaviour on extreme arguments.
int32_t wrap32(uint64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

std::string cut_file_name(const char* arg) {
  std::string name(arg);
  if (name.size() > MAX_FILE_NAME) name.resize(MAX_FILE_NAME);
  return name;
}

// Reads the -I text once, into the zeroed calendar record the first packet's date
// will complete.
void read_since_text(Settings& s) {
  struct tm parsed;
  std::memset(&parsed, 0, sizeof parsed);
  const char* rest = strptime(s.since_text.c_str(), since_format(s.since_text), &parsed);
  if (rest == nullptr) {
    static constexpr char BAD_TIME_FMT[] = "Illegal time string\n";
    std::fprintf(stderr, BAD_TIME_FMT);
    usage(s.program_name.c_str());
  }
  if (*rest != '\0') {
    static constexpr char TIME_REST_FMT[] = "Illegal time string: %s\n";
    std::fprintf(stderr, TIME_REST_FMT, rest);
    usage(s.program_name.c_str());
  }
  s.since_fields = parsed;
}

void check_byte_pairs(const Settings& s) {
  // The thresholds are printed as signed values, as they were typed.
  if (s.min_client_bytes != 0 && s.max_client_bytes != 0 &&
      s.max_client_bytes <= s.min_client_bytes) {
    static constexpr char CLIENT_PAIR_FMT[] = "Client requests < %" PRId64 " and > %" PRId64 "?\n";
    std::fprintf(stderr, CLIENT_PAIR_FMT, static_cast<int64_t>(s.max_client_bytes),
                 static_cast<int64_t>(s.min_client_bytes));
    usage(s.program_name.c_str());
  }
  if (s.min_server_bytes != 0 && s.max_server_bytes != 0 &&
      s.max_server_bytes <= s.min_server_bytes) {
    static constexpr char SERVER_PAIR_FMT[] = "Server responses < %" PRId64 " and > %" PRId64 "?\n";
    std::fprintf(stderr, SERVER_PAIR_FMT, static_cast<int64_t>(s.max_server_bytes),
                 static_cast<int64_t>(s.min_server_bytes));
    usage(s.program_name.c_str());
  }
}

// The byte orderings start their first bucket at the -y/-Y minimum and may need
// fewer buckets below the -x/-X maximum. All divisions are unsigned 64-bit with the
// bucket size widened with its sign.
void derive_byte_layout(Settings& s) {
  // In write mode the bucket size may still be 0 (it is not defaulted there) and
  // none of these values is used: dividing by it would only crash the run.
  if (s.bucket_size == 0) return;
  const uint64_t size = widen_signed(s.bucket_size);
  if (s.sort_mode == BY_CLIENT_BYTES && s.min_client_bytes != 0) {
    s.bucket_base = static_cast<uint32_t>((s.min_client_bytes / 1024) / size);
  } else if (s.sort_mode == BY_SERVER_BYTES && s.min_server_bytes != 0) {
    s.bucket_base = static_cast<uint32_t>((s.min_server_bytes / 1024) / size);
  }
  uint64_t max = 0, min = 0;
  if (s.sort_mode == BY_CLIENT_BYTES && s.max_client_bytes != 0) {
    max = s.max_client_bytes;
    min = s.min_client_bytes;
  } else if (s.sort_mode == BY_SERVER_BYTES && s.max_server_bytes != 0) {
    max = s.max_server_bytes;
    min = s.min_server_bytes;
  } else {
    return;
  }
  int32_t k = wrap32(static_cast<uint64_t>(wrap32((max / size) / 1024)) -
                     static_cast<uint64_t>(wrap32((min / size) / 1024)) + 1);
  if (k < s.nbuckets) s.nbuckets = k;
}

void validate(Settings& s) {
  if (s.has_since) read_since_text(s);

  if (s.status_every != 0 && s.report_variant != REPORT_OPEN_LISTING) {
    // The parser's own wording, on standard output.
    static constexpr char M_REJECTED_FMT[] = "%s: illegal option -- m\n";
    std::printf(M_REJECTED_FMT, s.program_name.c_str());
    std::fflush(stdout);
    usage(s.program_name.c_str());
  }

  if (!s.write_mode()) {
    if (s.nbuckets == 0) s.nbuckets = DEFAULT_NBUCKETS;
    if (s.bucket_size == 0) s.bucket_size = DEFAULT_BUCKET_SIZE;
  }

  // Uses nbuckets before the byte layout may lower it.
  if (s.filter_from < wrap32(static_cast<uint64_t>(static_cast<uint32_t>(s.nbuckets)) *
                             static_cast<uint32_t>(s.bucket_size)))
    s.filter_to = wrap32(static_cast<uint64_t>(static_cast<uint32_t>(s.filter_from)) +
                         static_cast<uint32_t>(s.bucket_size));

  check_byte_pairs(s);
  derive_byte_layout(s);

  if (s.port == 0) {
    static constexpr char NO_PORT_FMT[] = "Port must be specified\n";
    std::fprintf(stderr, NO_PORT_FMT);
    usage(s.program_name.c_str());
  }

  if (!s.write_mode()) {
    if (!(s.nbuckets > 0 && s.bucket_size > 0 && s.run_time != 0)) {
      static constexpr char BAD_VALUES_FMT[] = "Illegal value for options\n";
      fail(stderr, BAD_VALUES_FMT);
    }
    if (!create_bucket_table(s.nbuckets)) {
      // perror()'s wording for "malloc:".
      static constexpr char NO_MEMORY_FMT[] = "malloc:: %s\n";
      fail(stderr, NO_MEMORY_FMT, std::strerror(ENOMEM));
    }
  }
}

}  // namespace

const char* since_format(const std::string& text) {
  return text.find('-') != std::string::npos ? "%Y-%m-%d.%H:%M:%S" : "%H:%M:%S";
}

void usage(const char* program_name) {
  std::fflush(stdout);
  for (const char* line : USAGE_LINES) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::fprintf(stderr, line, program_name);
#pragma GCC diagnostic pop
  }
  std::exit(1);
}

void parse_command_line(int argc, char** argv) {
  Settings& s = g_settings;
  s.program_name = argc > 0 && argv[0] ? argv[0] : "portsift";
  const char* prog = s.program_name.c_str();

  optind = 0;  // glibc: full re-initialisation, so tests may parse more than once
  const std::vector<struct option> long_options = getopt_long_table();
  int opt;
  while ((opt = getopt_long(argc, argv, OPTSTRING, long_options.data(), nullptr)) != -1) {
    switch (opt) {
      case OPT_HELP:
        print_help(prog);
      case OPT_VERSION:
        print_version();
      case OPT_MAX_CONNS:
        s.max_conns = read_max_conns(optarg, prog);
        break;
      case OPT_LIBPCAP_READ:
        s.libpcap_read = true;
        break;
      case OPT_DECODE_ALL:
        s.decode_all = true;
        break;
      case 'p':
        s.port = static_cast<uint16_t>(std::atoi(optarg));  // keeps the low 16 bits
        break;
      case 'd':
        s.debug++;
        break;
      case 'R':
        s.raw = true;
        break;
      case 'r':
        if (!s.read_file.empty()) usage(prog);
        s.read_file = cut_file_name(optarg);
        break;
      case 'w':
        if (!s.write_file.empty()) usage(prog);
        s.write_file = cut_file_name(optarg);
        break;
      case 'i':
        if (s.has_interface) usage(prog);
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
          std::fprintf(stderr, ONE_SORT_FMT);
          usage(prog);
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
        usage(prog);
    }
  }
  for (int i = optind; i < argc; ++i) s.filter_words.emplace_back(argv[i]);

  validate(s);
}
