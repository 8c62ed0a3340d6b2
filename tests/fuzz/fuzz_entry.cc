#include "fuzz/fuzz_entry.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pcap/dlt.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ctime>
#include <memory>

#include "common/settings.h"
#include "common/trace.h"
#include "report/html_page.h"
#include "report/json_report.h"
#include "report/summary_screen.h"
#include "report/summary.h"
#include "run/capture.h"
#include "run/command_line.h"
#include "run/fast_read.h"
#include "run/packet_loop.h"
#include "run/decompress.h"
#include "run/record_output.h"
#include "run/set_capture.h"
#include "stats/monitor.h"
#include "stats/run.h"
#include "stats/run_clock.h"
#include "stats/run_stats.h"
#include "testlib/argv.h"
#include "track/addr_pool.h"
#include "track/conn_table.h"
#include "track/records.h"

namespace fuzz {
namespace {

// Values worth trying for each option; index 0 is "not given" where that matters.
constexpr int BUCKETS[] = {0, 1, 2, 3, 5, 8, 20, 64, 400, 1000};
constexpr int BUCKET_SIZES[] = {0, 1, 2, 3, 10, 20, 50, 1000, 65536, 2147483647};
constexpr int FILTER_FROM[] = {-1, 0, 1, 20, 40, 240, 400, -5, 100000, 2147483647};
constexpr int MIN_SYNS[] = {0, 1, 2, 3, 5, -1};
// -1 widens to the largest unsigned value: no maximum, or a minimum nothing meets.
constexpr int BYTES[] = {0, 1, 100, 501, 1024, 1500, 2048, 3001, 65536, 1048576, 2147483647, -1};
constexpr const char* SINCE[] = {nullptr,
                                 "00:00:00",
                                 "12:00:00",
                                 "23:59:59",
                                 "1970-01-01.00:00:00",
                                 "2001-09-09.01:46:41",
                                 "2038-01-19.03:14:08",
                                 "1901-12-13.20:45:52"};
// One port, or (from the fifth on) a list, ranges, every port.
constexpr const char* PORTS[] = {"80",      "8080", "5555",             "65535",
                                 "80,8080", "any",  "80,443,8000-8010", "8080,80"};
constexpr const char* FILTER_WORDS[] = {nullptr, "host 10.0.0.1", "not host 10.0.0.9", "tcp"};
// -V and -m: -m is only accepted with -V 999. Steps between -9 and 9 are 0.
struct Variant {
  int report_variant;  // 0: not given
  int status_every;    // 0: not given
};
constexpr Variant VARIANTS[] = {{0, 0},   {1, 0},    {999, 0},   {999, 1000}, {999, -1000},
                                {999, 5}, {999, 10}, {999, 100}, {999, -20},  {7, 0}};

template <typename T, size_t N>
const T& pick(const T (&table)[N], unsigned index) {
  return table[index % N];
}

uint64_t widened(int value) { return static_cast<uint64_t>(static_cast<int64_t>(value)); }

// A maximum at or below its minimum is refused at start-up, and with the matching
// byte ordering a maximum of -1 leaves no bucket; either would end the process, so
// the maximum is then left out.
int usable_max(int max, int min, bool matching_ordering) {
  if (max != 0 && min != 0 && widened(max) <= widened(min)) return 0;
  if (matching_ordering && max == -1) return 0;
  return max;
}

void add(std::vector<std::string>& args, const char* option, long long value) {
  args.push_back(option);
  args.push_back(std::to_string(value));
}

// The command line read as the program reads it. Every run also writes connection
// records and interval rows (to /dev/null), so that hostile packets drive the
// record hooks too and verify_run can hold the records against the report.
Settings start(const std::vector<std::string>& args, bool records = true) {
  std::vector<std::string> words = {"portsift"};
  words.insert(words.end(), args.begin(), args.end());
  testlib::Argv argv(std::move(words));
  Settings s;
  if (!parse_options(argv.argc(), argv.argv(), &s).run) {
    std::fprintf(stderr, "the settings bytes made a command line start-up refuses\n");
    std::abort();
  }
  if (!records) return s;
  s.conns_file = "/dev/null";
  s.conns_format = RowFormat::CSV;
  s.intervals_file = "/dev/null";
  s.intervals_format = RowFormat::JSON_LINES;
  s.interval_us = 60000000;  // a minute: rows for every input, few for any
  return s;
}

struct Cursor {
  const uint8_t* p;
  size_t left;
  uint8_t u8() { return left ? (--left, *p++) : 0; }
  uint16_t be16() {
    uint16_t hi = u8();
    return static_cast<uint16_t>(hi << 8 | u8());
  }
  uint32_t be32() {
    uint32_t hi = be16();
    return hi << 16 | be16();
  }
};

bool classic_magic(const uint8_t* data, size_t size) {
  if (size < 24) return false;
  uint32_t magic;
  std::memcpy(&magic, data, 4);
  for (uint32_t m : {0xa1b2c3d4u, 0xa1b23c4du})
    if (magic == m || magic == __builtin_bswap32(m)) return true;
  return false;
}

// The connection records of a finished run (the tables flushed at its end) against
// what the reports count: every counted connection has one counted record, every
// reset one reset record, every record still in a table one record of its state.
void verify_records(const Run& run, const RecordFiles& files) {
  if (run.monitors.empty() || !run.monitors.front()->records.enabled)
    return;  // a run that stopped before its capture was ready
  const RecordCounts& n = files.counts();
  OpenCounts open;
  RunTotals totals;
  uint64_t unanswered = 0, unanswered_syns = 0;
  Expired expired;
  for (const std::unique_ptr<Monitor>& m : run.monitors) {
    const OpenCounts o = count_open_connections(*m);
    open.never_completed += o.never_completed;
    open.incomplete_syns += o.incomplete_syns;
    open.in_progress += o.in_progress;
    open.closing += o.closing;
    totals.nconns += m->totals.nconns;
    totals.resets += m->totals.resets;
    unanswered += m->records.unanswered;
    unanswered_syns += m->records.unanswered_syns;
    expired.unanswered += m->expired.unanswered;
    expired.unanswered_syns += m->expired.unanswered_syns;
    expired.established += m->expired.established;
    expired.closing += m->expired.closing;
  }
  auto of = [&](RecordState state) { return n.by_state[static_cast<size_t>(state)]; };
  const struct {
    bool holds;
    const char* what;
  } checks[] = {
      {n.counted == static_cast<uint64_t>(totals.nconns), "counted records"},
      {of(RecordState::RESET) == totals.resets, "reset records"},
      {of(RecordState::UNANSWERED) == open.never_completed, "unanswered records"},
      {of(RecordState::OPEN) + of(RecordState::CLOSING) == open.in_progress, "open records"},
      {of(RecordState::CLOSING) == open.closing, "closing records"},
      // Attempts that expired unanswered are still reported, but no longer wait.
      {unanswered + expired.unanswered == open.never_completed, "attempts waiting for a SYN-ACK"},
      {unanswered_syns + expired.unanswered_syns == open.incomplete_syns,
       "SYNs waiting for a SYN-ACK"},
      {of(RecordState::EXPIRED) == expired.established + expired.closing, "expired records"},
  };
  for (const auto& check : checks) {
    if (check.holds) continue;
    std::fprintf(stderr, "connection records disagree with the report: %s\n", check.what);
    std::abort();
  }
}

// The address pool's counts, summed over its slots (a free slot counts 0).
uint64_t pool_references(const AddrPool& pool) {
  uint64_t refs = 0;
  for (uint32_t n = 1; n < pool.used; ++n) refs += pool.slot(n).refs;
  return refs;
}

// What holds an IPv6 address once the run is over: each IPv6 record its client and
// the sender of a first FIN it has seen (and with connection records its server),
// each -D entry both addresses. No segment is in hand any more.
uint64_t pool_holders(const Run& run) {
  uint64_t holders = 0;
  for (const std::unique_ptr<Monitor>& owned : run.monitors) {
  const Monitor& m = *owned;
  conn_for_each_numbered(m.table, [&](uint32_t n, const ConnInfo& rec) {
    // With connection records, each record's entry beside it holds its server's.
    if (m.records.enabled && record_server(m.table, n).family == Family::IPV6) holders++;
    if (rec.client.family != Family::IPV6) return;
    holders += 1 + (rec.fin_sender.raw != AddrPool::NO_NUMBER ? 1 : 0);
  });
  for (const FilterEntry& f : m.filters)
    if (f.family == Family::IPV6) holders += 2;
  }
  return holders;
}

// What the run's records must say of each other whatever the packets were; a
// violation is data lost or counted twice, or an address freed while held, and stops
// the fuzzer like a crash.
// Returns the connections counted.
int64_t verify_run(const Run& run, const RecordFiles& files) {
  int64_t all = 0;
  for (const std::unique_ptr<Monitor>& owned : run.monitors) {
    const Monitor& m = *owned;
    const RunTotals& t = m.totals;
    uint64_t counted = 0, syns_of_counted = 0;
    for (const auto& [nsyns, conns] : m.syn_dist) {
      counted += conns;
      syns_of_counted += nsyns * conns;
    }
    int64_t bucketed = 0;
    for (size_t i = 0; i < m.buckets.size(); ++i) bucketed += m.buckets[i].count;
    StateCounts held;  // what the table holds, walked, against the counts kept as it changed
    conn_for_each_numbered(m.table, [&](uint32_t, const ConnInfo& rec) {
      (rec.state <= SYN_SEEN ? held.syn_seen : rec.state == ESTABLISHED ? held.established
                                                                         : held.closing)++;
    });
    // Every record was created by a SYN that did not restart one, and each reset
    // removed one of them.
    const uint64_t created = t.total_syns - t.dup_syns;
    const struct {
      bool holds;
      const char* what;
    } checks[] = {
        {t.dup_syns <= t.total_syns, "more repeated SYNs than SYNs"},
        {t.nconns >= 0 && counted == static_cast<uint64_t>(t.nconns),
         "the SYN distribution does not hold every counted connection"},
        {syns_of_counted == t.sum_syns, "the SYN distribution does not add up to the SYNs"},
        {bucketed <= t.nconns, "more connections in buckets than counted"},
        {m.filters.size() <= static_cast<uint64_t>(t.nconns), "more -D entries than counted"},
        {held.syn_seen == m.states.syn_seen && held.established == m.states.established &&
             held.closing == m.states.closing,
         "the records by state disagree with the table"},
        {t.resets + conn_count(m.table) + m.expired.unanswered + m.expired.established +
                 m.expired.closing <=
             created,
         "more records ended or left than created"},
    };
    for (const auto& check : checks) {
      if (check.holds) continue;
      std::fprintf(stderr, "run records disagree: port %u: %s\n", static_cast<unsigned>(m.port),
                   check.what);
      std::abort();
    }
    all += t.nconns;
  }
  if (pool_references(run.pool) != pool_holders(run)) {
    std::fprintf(stderr,
                 "run records disagree: the address pool's counts disagree with what holds its "
                 "addresses\n");
    std::abort();
  }
  verify_records(run, files);
  return all;
}

}  // namespace

std::vector<std::string> settings_args(const uint8_t* s) {
  std::vector<std::string> args;
  args.push_back("-p");
  args.push_back(pick(PORTS, s[7] >> 3));
  if (s[0] & 0x01) args.push_back("--decode-all");
  for (int i = 0; i < ((s[0] >> 2) & 3); ++i) args.push_back("-d");
  if (s[0] & 0x10) args.push_back("-R");
  if (s[0] & 0x20) args.push_back("-T");
  const int ordering = s[0] >> 6;  // 0: by duration
  if (ordering != 0) args.push_back(ordering == 1 ? "-P" : ordering == 2 ? "-C" : "-S");
  if (int n = pick(BUCKETS, s[1])) add(args, "-n", n);
  if (int size = pick(BUCKET_SIZES, s[2])) add(args, "-s", size);
  if (int from = pick(FILTER_FROM, s[3] & 0x0f); from != -1) add(args, "-D", from);
  if (int c = pick(MIN_SYNS, s[3] >> 4)) add(args, "-c", c);
  const Variant& v = pick(VARIANTS, s[4]);
  if (v.report_variant) add(args, "-V", v.report_variant);
  if (v.status_every) add(args, "-m", v.status_every);
  const int min_client = pick(BYTES, s[6] & 0x0f), min_server = pick(BYTES, s[6] >> 4);
  const int max_client = usable_max(pick(BYTES, s[5] & 0x0f), min_client, ordering == 2);
  const int max_server = usable_max(pick(BYTES, s[5] >> 4), min_server, ordering == 3);
  if (max_client) add(args, "-x", max_client);
  if (max_server) add(args, "-X", max_server);
  if (min_client) add(args, "-y", min_client);
  if (min_server) add(args, "-Y", min_server);
  // Expiry, from the bits the bucket count leaves alone: timeouts of a second, so
  // that the packets' times (steps of seconds) cross them.
  switch (s[1] >> 6) {
    case 1: add(args, "--syn-timeout", 1); break;
    case 2: add(args, "--closing-timeout", 1); break;
    case 3:
      add(args, "--syn-timeout", 2);
      add(args, "--closing-timeout", 1);
      add(args, "--max-age", 3);
      break;
    default: break;
  }
  if (const char* since = pick(SINCE, s[7] & 7)) {
    args.push_back("-I");
    args.push_back(since);
  }
  // Filter words come last: the first word that is not an option ends the options.
  if (const char* words = pick(FILTER_WORDS, s[7] >> 5)) {
    const std::string text = words;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
      end = text.find(' ', at);
      if (end == std::string::npos) end = text.size();
      args.push_back(text.substr(at, end - at));
    }
  }
  return args;
}

int64_t run_frames(const uint8_t* data, size_t size) {
  if (size < SETTINGS_BYTES + 1 + 4) return 0;
  // A quarter of the inputs, chosen by their length, also gather and draw the page
  // (never written: the page is built in memory).
  const bool page = size % 4 == 2;
  std::vector<std::string> args = settings_args(data);
  if (page) args.insert(args.begin(), {"--html", "fuzz.html"});
  Run run(start(args));
  if (!add_monitors(run)) return 0;
  PacketFeed feed(run);
  const uint8_t link = data[SETTINGS_BYTES];
  feed.link.dlt = pick(LINK_TYPES, link & 7);
  feed.link.swapped = (link & LINK_SWAPPED) != 0;
  feed.link.decode_all = run.settings.decode_all;
  run.offline = !(data[0] & 2);
  RecordFiles files;
  if (!files.start(run)) return 0;
  feed.files = &files;
  Cursor in{data + SETTINGS_BYTES + 1, size - SETTINGS_BYTES - 1};
  // Savefiles store the seconds as a signed 32-bit number: that is all the range a
  // packet's time can have.
  int32_t sec = static_cast<int32_t>(in.be32());
  if (!run.offline) {
    run.clock.start_time = Timeval{sec, 0};
    // A live run on the interface chosen automatically knows this host's addresses:
    // here the usual client's, so its SYN-ACKs switch round-trip estimation on.
    run.host.v4.insert(IpAddr{htonl(0x0a000001)});  // 10.0.0.1
    Ip6Addr v6;  // 2001:db8::1, the same client over IPv6
    v6.bytes[0] = 0x20, v6.bytes[1] = 0x01, v6.bytes[2] = 0x0d, v6.bytes[3] = 0xb8;
    v6.bytes[15] = 1;
    run.host.v6.insert(v6);
  }
  while (in.left >= 6) {
    const uint16_t caplen = in.be16();
    const int8_t step = static_cast<int8_t>(in.u8());
    const uint8_t control = in.u8();
    const int32_t usec = static_cast<int32_t>(in.be16()) * 16 * ((control & 0x10) ? -1 : 1);
    const uint32_t unit = (control & 0x80) ? 1u << 25 : 1u;
    sec = static_cast<int32_t>(static_cast<uint32_t>(sec) + static_cast<uint32_t>(step) * unit);
    const size_t n = caplen < in.left ? caplen : in.left;

    pcap_pkthdr header;
    std::memset(&header, 0, sizeof header);
    header.ts.tv_sec = sec;
    header.ts.tv_usec = usec;
    header.caplen = static_cast<bpf_u_int32>(n);
    header.len = static_cast<bpf_u_int32>((control & 0x40)   ? n / 2
                                          : (control & 0x20) ? n + 1400
                                                             : n);
    // A buffer of exactly the captured length: any read past it is caught.
    std::unique_ptr<u_char[]> frame(new u_char[n ? n : 1]);
    if (n) std::memcpy(frame.get(), in.p, n);
    in.p += n;
    in.left -= n;
    handle_packet(reinterpret_cast<u_char*>(&feed), &header, frame.get());
  }
  if (!run.offline) end_live_clock(run.clock, wall_clock_now());
  files.finish(run);
  for (const std::unique_ptr<Monitor>& m : run.monitors) write_report(run, *m, stdout);
  // The JSON report costs more than the rest of a run: a quarter of the inputs,
  // chosen by their length, write it too.
  if (size % 4 == 0) write_json_report(run, stdout);
  if (page) {
    const std::string text = html_page(run);
    std::fwrite(text.data(), 1, text.size(), stdout);
    write_summary_screen(run, stdout);
  }
  return verify_run(run, files);
}

namespace {

// A run of `settings` whose output and errors are caught as text; `body` runs it and
// returns its exit status.
RunText captured_run(const Settings& settings, const std::function<int(Run&, RecordFiles&)>& body) {
  RunText text;
  char* out_buf = nullptr;
  char* err_buf = nullptr;
  size_t out_len = 0, err_len = 0;
  FILE* out = open_memstream(&out_buf, &out_len);
  FILE* err = open_memstream(&err_buf, &err_len);
  {
    Run run(settings, RunOutput{out, err});
    RecordFiles files;
    text.status = body(run, files);
  }
  std::fclose(out);
  std::fclose(err);
  text.out.assign(out_buf, out_len);
  text.err.assign(err_buf, err_len);
  std::free(out_buf);
  std::free(err_buf);
  return text;
}

}  // namespace

RunText run_set_once(const std::vector<std::vector<uint8_t>>& set,
                     const std::vector<std::string>& args, size_t chunk) {
  std::vector<std::string> words = args;
  words.insert(words.begin(), {"-r", "fuzz.pcap"});
  return captured_run(start(words), [&](Run& run, RecordFiles& files) {
    std::vector<MemoryFile> memory;
    for (size_t i = 0; i < set.size(); ++i)
      memory.push_back(MemoryFile{i == 0 ? "fuzz.pcap" : "fuzz-" + std::to_string(i) + ".pcap",
                                  set[i].data(), set[i].size()});
    int status = 1;
    if (add_monitors(run))
      status = run_memory_set(run, files, memory, chunk) == RunEnd::SUCCESS ? 0 : 1;
    verify_run(run, files);
    return status;
  });
}

RunText run_savefile_once(const uint8_t* data, size_t size, const std::vector<std::string>& args,
                          bool libpcap_only, int64_t* counted, bool records) {
  std::vector<std::string> words = args;
  // Filter words end the options, so these go first.
  words.insert(words.begin(), {"-r", "fuzz.pcap"});
  if (libpcap_only) words.insert(words.begin(), "--libpcap-read");
  return captured_run(start(words, records), [&](Run& run, RecordFiles& files) {
    int status;
    // fmemopen wants at least one byte; libpcap refuses an empty file anyway.
    FILE* file = size == 0 ? nullptr : fmemopen(const_cast<uint8_t*>(data), size, "rb");
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = file == nullptr ? nullptr : pcap_fopen_offline(file, errbuf);
    if (pcap == nullptr) {
      if (file != nullptr) std::fclose(file);
      status = 1;  // the program ends with libpcap's message before any run
    } else if (!add_monitors(run)) {
      pcap_close(pcap);
      status = 1;
    } else {
      FastReadSource fast;
      fast.bytes = data;
      fast.size = size;
      Source src;
      adopt_savefile(pcap, &src);  // the source closes the handle and the file
      status = run_file_capture(run, files, src, nullptr, &fast) == RunEnd::SUCCESS ? 0 : 1;
    }
    const int64_t n = verify_run(run, files);
    if (counted != nullptr) *counted = n;
    return status;
  });
}

namespace {

// Decompressed bytes, up to a limit that keeps a run short; false when the data
// are damaged or cut (what came before is in *out).
bool decompressed(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  constexpr size_t LIMIT = 8 << 20;
  std::unique_ptr<ByteStream> s = decompressing(compression_of(data, size),
                                                std::make_unique<MemoryStream>(data, size));
  uint8_t block[65536];
  for (;;) {
    const ssize_t n = s->read(block, sizeof block);
    if (n <= 0) return n == 0;
    out->insert(out->end(), block, block + n);
    if (out->size() > LIMIT) return false;
  }
}

void same_or_abort(const RunText& a, const RunText& b, const char* what) {
  if (a.out == b.out && a.err == b.err && a.status == b.status) return;
  std::fprintf(stderr, "%s:\n--- libpcap\n%s%s--- other\n%s%s", what, a.out.c_str(), a.err.c_str(),
               b.out.c_str(), b.err.c_str());
  std::abort();
}

}  // namespace

int64_t run_savefile(const uint8_t* data, size_t size) {
  uint8_t settings[SETTINGS_BYTES] = {};
  if (compression_of(data, size) != Compression::NONE) {
    std::vector<uint8_t> plain;
    const bool clean = decompressed(data, size, &plain);
    if (classic_magic(plain.data(), plain.size())) std::memcpy(settings, plain.data() + 8, SETTINGS_BYTES);
    const std::vector<std::string> args = settings_args(settings);
    const RunText set = run_set_once({std::vector<uint8_t>(data, data + size)}, args, 1 + size % 4093);
    if (clean) {
      const RunText by_libpcap = run_savefile_once(plain.data(), plain.size(), args, true);
      same_or_abort(by_libpcap, set, "the compressed file's run differs from libpcap's");
    }
    return 0;
  }
  if (classic_magic(data, size)) std::memcpy(settings, data + 8, SETTINGS_BYTES);
  const std::vector<std::string> args = settings_args(settings);
  const RunText by_libpcap = run_savefile_once(data, size, args, true);
  int64_t counted = 0;
  const RunText fast = run_savefile_once(data, size, args, false, &counted);
  if (fast.out != by_libpcap.out || fast.err != by_libpcap.err ||
      fast.status != by_libpcap.status) {
    std::fprintf(stderr, "the fast reader's run differs from libpcap's:\n--- libpcap\n%s%s"
                 "--- fast\n%s%s", by_libpcap.out.c_str(), by_libpcap.err.c_str(),
                 fast.out.c_str(), fast.err.c_str());
    std::abort();
  }
  // Without record files a quiet run of one port deals its clients between two
  // trackers: the same bytes again.
  same_or_abort(run_savefile_once(data, size, args, true, nullptr, false),
                run_savefile_once(data, size, args, false, nullptr, false),
                "the run without records differs from libpcap's");
  // A set of one file, read from a stream in pieces of an odd size. A file libpcap
  // does not open ends both runs before they start.
  if (by_libpcap.status == 0 || !by_libpcap.out.empty() || !by_libpcap.err.empty()) {
    const RunText set = run_set_once({std::vector<uint8_t>(data, data + size)}, args,
                                     1 + size % 4093);
    same_or_abort(by_libpcap, set, "the set reader's run differs from libpcap's");
  }
  return counted;
}

void quiet_process() {
  setenv("TZ", "UTC", 1);
  tzset();
  std::fflush(stdout);
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) {
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
}

}  // namespace fuzz
