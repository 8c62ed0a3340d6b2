#include "report/distribution.h"

#include "common/addr.h"
#include "common/settings.h"
#include "stats/bucket_layout.h"
#include "stats/run_stats.h"
#include "track/addr_pool.h"

namespace {

// The throughput column of a row, where the layout has one.
enum class ThroughputCell : uint8_t {
  NONE,
  BUCKET_RATE,      // the bucket's bytes over its duration plus one, an integer
  MEAN_TERM,        // the mean of the per-connection terms, an integer quotient shown as a float
  MEAN_TERM_FLOAT,  // the same mean divided in single precision
};

// The pieces of one row, in the order they are printed: label, count, then either
// the empty-bucket text or the averages. A piece that ends with "\n" ends the row.
struct RowLayout {
  const char* range_fmt;     // (lo, hi)
  const char* overflow_fmt;  // (lo)
  const char* count_fmt;     // (count, percentage)
  const char* empty_line;    // the rest of a row without connections
  const char* bytes_fmt;     // (client, server)
  const char* duration_fmt;  // (duration); nullptr: the row label is the duration
  const char* rtt_fmt;       // (rtt), with estimation on
  const char* no_rtt;        // in its place, with estimation off
  ThroughputCell throughput;
  const char* throughput_fmt;
};

// What the table and the -D listing print for one ordering.
struct OrderingLayout {
  const char* heading[2];
  RowLayout aligned;
  RowLayout raw;
  const char* listing_heading;
  const char* listing_open_fmt;   // (from): the range is open upwards
  const char* listing_range_fmt;  // (from, to)
};

// clang-format off
constexpr OrderingLayout THROUGHPUT_LAYOUT = {
    {"Throughput      NumConns    AvgClient   AvgServer  AvgDuration   EstRTT",
     "   KB/s                      (bytes)     (bytes)     (msecs)    (msecs)"},
    {"%4lld - %-4lld ", "%4lld+       ", "%6lld(%5.2f%%) ", "       -            -\n",
     "%8lld    %8lld    ", "%6lld        ", "%4lld\n", "   -\n", ThroughputCell::NONE, nullptr},
    {"%lld,%lld,", "%lld+,", "%lld,%.2f%%,", ",,,\n",
     "%lld,%lld,", "%lld,", "%lld,\n", ",,\n", ThroughputCell::NONE, nullptr},
    "Connections for which throuput was ", "%d+ KB/sec:\n", "between %d and %d KB/sec:\n"};

constexpr RowLayout BYTES_ALIGNED = {
    "%5lld - %-5lld ", "%5lld+        ", "%6lld(%5.2f%%)  ",
    "     -         -         -         -       -\n",
    "%8lld  %8lld   ", "%6lld     ", "%4lld      ", "   -    ",
    ThroughputCell::BUCKET_RATE, "%4lld\n"};
constexpr RowLayout BYTES_RAW = {
    "%lld,%lld,", "%lld+,", "%lld,%.2f%%,", ",,,,,,\n",
    "%lld,%lld,", "%lld,", "%lld,", ",", ThroughputCell::MEAN_TERM, "%.2f\n"};
constexpr const char* BYTES_LISTING_HEADING = "Connections for which client sent data ";

constexpr OrderingLayout CLIENT_BYTES_LAYOUT = {
    {"ClientBytes    NumConns        AvClient  AvServer  AvDuration EstRtt  AvThruput",
     "     (KB)                     (bytes)    (bytes)   (msecs)  (msecs)  (KB/s)"},
    BYTES_ALIGNED, BYTES_RAW, BYTES_LISTING_HEADING, "%d+ KB:\n", "between %d and %d KB:\n"};

constexpr OrderingLayout SERVER_BYTES_LAYOUT = {
    {"ServerBytes    NumConns        AvClient  AvServer  AvDuration EstRtt  AvThruput",
     "     (KB)                     (bytes)    (bytes)   (msecs)  (msecs)  (KB/s)"},
    BYTES_ALIGNED, BYTES_RAW, BYTES_LISTING_HEADING, "%d+ KB:\n", "between %d and %d KB:\n"};

constexpr OrderingLayout DURATION_LAYOUT = {
    {"  Duration       NumConns        AvClient    AvServer   EstRtt  AvThruput",
     "  (msecs)                        (bytes)     (bytes)    (msecs)  (KB/s)"},
    {"%5lld - %-5lld ", "%5lld+        ", "%8lld(%5.2f%%) ", "     -         -         -\n",
     "%8lld  %8lld      ", nullptr, "%4lld ", " -   ",
     ThroughputCell::MEAN_TERM_FLOAT, "    %.2f\n"},
    {"%0lld,%0lld,", "%0lld+,", "%0lld,%0.2f%%,", ",,,\n",
     "%0lld,%0lld,", nullptr, "%0lld,", ",", ThroughputCell::MEAN_TERM_FLOAT, "%.2f\n"},
    "Connections for which duration was ", "%d+ msecs:\n", "between %d and %d msecs:\n"};
// clang-format on

const OrderingLayout& layout_of(SortMode mode) {
  switch (mode) {
    case BY_THROUGHPUT:
      return THROUGHPUT_LAYOUT;
    case BY_CLIENT_BYTES:
      return CLIENT_BYTES_LAYOUT;
    case BY_SERVER_BYTES:
      return SERVER_BYTES_LAYOUT;
    case BY_DURATION:
    default:
      return DURATION_LAYOUT;
  }
}

// The formats come from the layout tables above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

void print_row(FILE* out, const Settings& s, const Bucket& b, const RowLayout& l, size_t i,
               bool overflow, long long nconns, bool rtt) {
  const BucketEdges edges = bucket_edges(s, i);
  if (overflow)
    std::fprintf(out, l.overflow_fmt, edges.lo);
  else
    std::fprintf(out, l.range_fmt, edges.lo, edges.hi);
  const long long k = b.count;
  const float percent = static_cast<float>(k) * 100.0f / static_cast<float>(nconns);
  std::fprintf(out, l.count_fmt, k, static_cast<double>(percent));
  if (k == 0) {
    std::fputs(l.empty_line, out);
    return;
  }
  std::fprintf(out, l.bytes_fmt, static_cast<long long>(b.client_bytes / k),
               static_cast<long long>(b.server_bytes / k));
  if (l.duration_fmt != nullptr)
    std::fprintf(out, l.duration_fmt, static_cast<long long>(b.duration / k));
  if (rtt)
    std::fprintf(out, l.rtt_fmt, static_cast<long long>(b.rtt) / k);  // the 32-bit sum, widened
  else
    std::fputs(l.no_rtt, out);
  switch (l.throughput) {
    case ThroughputCell::NONE:
      break;
    case ThroughputCell::BUCKET_RATE: {
      // Durations wrapped past 24.8 days can make the divisor 0; the cell then shows
      // 0 instead of crashing.
      const long long divisor = b.duration + 1;
      std::fprintf(
          out, l.throughput_fmt,
          divisor == 0 ? 0LL : static_cast<long long>((b.server_bytes + b.client_bytes) / divisor));
      break;
    }
    case ThroughputCell::MEAN_TERM:
      std::fprintf(out, l.throughput_fmt,
                   static_cast<double>(static_cast<float>(b.throughput / k)));
      break;
    case ThroughputCell::MEAN_TERM_FLOAT:
      std::fprintf(out, l.throughput_fmt,
                   static_cast<double>(static_cast<float>(b.throughput) / static_cast<float>(k)));
      break;
  }
}

void print_filter_listing(FILE* out, const Settings& s, const Monitor& m,
                          const OrderingLayout& l) {
  std::fputs(l.listing_heading, out);
  if (s.filter_to == -1)
    std::fprintf(out, l.listing_open_fmt, s.filter_from);
  else
    std::fprintf(out, l.listing_range_fmt, s.filter_from, s.filter_to);
  static constexpr char FILTER_FMT[] = "host %s and host %s and port %d\n";
  for (const FilterEntry& e : m.filters)
    std::fprintf(out, FILTER_FMT, addr_text(m.pool, e.addr_a, e.family).text,
                 addr_text(m.pool, e.addr_b, e.family).text, static_cast<int>(e.client_port));
}

#pragma GCC diagnostic pop

}  // namespace

void print_distribution(FILE* out, const Run& run, const Monitor& m) {
  const Settings& s = run.settings;
  const OrderingLayout& layout = layout_of(s.sort_mode);
  std::fprintf(out, "%s\n%s\n", layout.heading[0], layout.heading[1]);
  if (m.totals.nconns == 0) {
    std::fputs("No connections\n", out);
    return;
  }
  static constexpr char RAW_RULE[] = "===========\n";
  if (s.raw) std::fputs(RAW_RULE, out);
  // Estimation may have been switched on during the run: what counts is now.
  const bool rtt = m.rtt_enabled;
  const RowLayout& row = s.raw ? layout.raw : layout.aligned;
  const size_t rows = m.buckets.size();
  for (size_t i = 0; i < rows; ++i)
    print_row(out, s, m.buckets[i], row, i, i + 1 == rows, m.totals.nconns, rtt);
  if (s.raw) std::fputs(RAW_RULE, out);
  if (s.filter_from != -1) print_filter_listing(out, s, m, layout);
}
