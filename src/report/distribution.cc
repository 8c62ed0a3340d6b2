#include "report/distribution.h"

#include <cstdio>

#include "common/addr.h"
#include "run/settings.h"
#include "stats/run_stats.h"

namespace {

// One bucket's figures, as every layout shows them.
struct Row {
  long long lo, hi;  // value range [lo, hi) in the ordering's unit
  long long count;
  float percent;
  long long client, server, duration, rtt;  // per-connection averages
  const Bucket* bucket;
};

Row make_row(size_t i, long long nconns) {
  const Settings& s = g_settings;
  const Bucket& b = g_buckets.rows[i];
  Row r;
  // The index sums are 32-bit, the edges signed 64-bit.
  const uint32_t first = static_cast<uint32_t>(i) + s.bucket_base;
  r.lo = static_cast<long long>(first) * s.bucket_size;
  r.hi = static_cast<long long>(static_cast<uint32_t>(first + 1)) * s.bucket_size;
  r.count = b.count;
  r.percent = static_cast<float>(b.count) * 100.0f / static_cast<float>(nconns);
  r.bucket = &b;
  if (b.count != 0) {
    r.client = b.client_bytes / b.count;
    r.server = b.server_bytes / b.count;
    r.duration = b.duration / b.count;
    r.rtt = static_cast<long long>(b.rtt) / b.count;  // the 32-bit sum, widened with its sign
  } else {
    r.client = r.server = r.duration = r.rtt = 0;
  }
  return r;
}

void print_throughput_row(const Row& r, bool overflow, bool raw, bool rtt) {
  static constexpr char RANGE_FMT[] = "%4lld - %-4lld ";
  static constexpr char OVERFLOW_FMT[] = "%4lld+       ";
  static constexpr char COUNT_FMT[] = "%6lld(%5.2f%%) ";
  static constexpr char EMPTY_LINE[] = "       -            -\n";
  static constexpr char BYTES_FMT[] = "%8lld    %8lld    ";
  static constexpr char DURATION_FMT[] = "%6lld        ";
  static constexpr char RTT_FMT[] = "%4lld\n";
  static constexpr char NO_RTT_LINE[] = "   -\n";
  static constexpr char RAW_RANGE_FMT[] = "%lld,%lld,";
  static constexpr char RAW_OVERFLOW_FMT[] = "%lld+,";
  static constexpr char RAW_COUNT_FMT[] = "%lld,%.2f%%,";
  static constexpr char RAW_EMPTY_LINE[] = ",,,\n";
  static constexpr char RAW_BYTES_FMT[] = "%lld,%lld,";
  static constexpr char RAW_DURATION_FMT[] = "%lld,";
  static constexpr char RAW_RTT_FMT[] = "%lld,\n";
  static constexpr char RAW_NO_RTT_LINE[] = ",,\n";
  if (overflow)
    std::printf(raw ? RAW_OVERFLOW_FMT : OVERFLOW_FMT, r.lo);
  else
    std::printf(raw ? RAW_RANGE_FMT : RANGE_FMT, r.lo, r.hi);
  std::printf(raw ? RAW_COUNT_FMT : COUNT_FMT, r.count, static_cast<double>(r.percent));
  if (r.count == 0) {
    std::fputs(raw ? RAW_EMPTY_LINE : EMPTY_LINE, stdout);
    return;
  }
  std::printf(raw ? RAW_BYTES_FMT : BYTES_FMT, r.client, r.server);
  std::printf(raw ? RAW_DURATION_FMT : DURATION_FMT, r.duration);
  if (rtt)
    std::printf(raw ? RAW_RTT_FMT : RTT_FMT, r.rtt);
  else
    std::fputs(raw ? RAW_NO_RTT_LINE : NO_RTT_LINE, stdout);
}

void print_bytes_row(const Row& r, bool overflow, bool raw, bool rtt) {
  static constexpr char RANGE_FMT[] = "%5lld - %-5lld ";
  static constexpr char OVERFLOW_FMT[] = "%5lld+        ";
  static constexpr char COUNT_FMT[] = "%6lld(%5.2f%%)  ";
  static constexpr char EMPTY_LINE[] = "     -         -         -         -       -\n";
  static constexpr char BYTES_FMT[] = "%8lld  %8lld   ";
  static constexpr char DURATION_FMT[] = "%6lld     ";
  static constexpr char RTT_FMT[] = "%4lld      ";
  static constexpr char NO_RTT[] = "   -    ";
  static constexpr char THROUGHPUT_FMT[] = "%4lld\n";
  static constexpr char RAW_RANGE_FMT[] = "%lld,%lld,";
  static constexpr char RAW_OVERFLOW_FMT[] = "%lld+,";
  static constexpr char RAW_COUNT_FMT[] = "%lld,%.2f%%,";
  static constexpr char RAW_EMPTY_LINE[] = ",,,,,,\n";
  static constexpr char RAW_BYTES_FMT[] = "%lld,%lld,";
  static constexpr char RAW_DURATION_FMT[] = "%lld,";
  static constexpr char RAW_RTT_FMT[] = "%lld,";
  static constexpr char RAW_NO_RTT[] = ",";
  static constexpr char RAW_THROUGHPUT_FMT[] = "%.2f\n";
  if (overflow)
    std::printf(raw ? RAW_OVERFLOW_FMT : OVERFLOW_FMT, r.lo);
  else
    std::printf(raw ? RAW_RANGE_FMT : RANGE_FMT, r.lo, r.hi);
  std::printf(raw ? RAW_COUNT_FMT : COUNT_FMT, r.count, static_cast<double>(r.percent));
  if (r.count == 0) {
    std::fputs(raw ? RAW_EMPTY_LINE : EMPTY_LINE, stdout);
    return;
  }
  std::printf(raw ? RAW_BYTES_FMT : BYTES_FMT, r.client, r.server);
  std::printf(raw ? RAW_DURATION_FMT : DURATION_FMT, r.duration);
  if (rtt)
    std::printf(raw ? RAW_RTT_FMT : RTT_FMT, r.rtt);
  else
    std::fputs(raw ? RAW_NO_RTT : NO_RTT, stdout);
  const Bucket& b = *r.bucket;
  if (raw) {
    // The mean of the per-connection terms, an integer quotient shown as a float.
    std::printf(RAW_THROUGHPUT_FMT,
                static_cast<double>(static_cast<float>(b.throughput / b.count)));
  } else {
    // The bucket's bytes over its duration plus one. Durations wrapped past 24.8
    // days can make that divisor 0; the cell then shows 0 instead of crashing.
    const long long divisor = b.duration + 1;
    std::printf(
        THROUGHPUT_FMT,
        divisor == 0 ? 0LL : static_cast<long long>((b.server_bytes + b.client_bytes) / divisor));
  }
}

void print_duration_row(const Row& r, bool overflow, bool raw, bool rtt) {
  static constexpr char RANGE_FMT[] = "%5lld - %-5lld ";
  static constexpr char OVERFLOW_FMT[] = "%5lld+        ";
  static constexpr char COUNT_FMT[] = "%8lld(%5.2f%%) ";
  static constexpr char EMPTY_LINE[] = "     -         -         -\n";
  static constexpr char BYTES_FMT[] = "%8lld  %8lld      ";
  static constexpr char RTT_FMT[] = "%4lld ";
  static constexpr char NO_RTT[] = " -   ";
  static constexpr char THROUGHPUT_FMT[] = "    %.2f\n";
  static constexpr char RAW_RANGE_FMT[] = "%0lld,%0lld,";
  static constexpr char RAW_OVERFLOW_FMT[] = "%0lld+,";
  static constexpr char RAW_COUNT_FMT[] = "%0lld,%0.2f%%,";
  static constexpr char RAW_EMPTY_LINE[] = ",,,\n";
  static constexpr char RAW_BYTES_FMT[] = "%0lld,%0lld,";
  static constexpr char RAW_RTT_FMT[] = "%0lld,";
  static constexpr char RAW_NO_RTT[] = ",";
  static constexpr char RAW_THROUGHPUT_FMT[] = "%.2f\n";
  if (overflow)
    std::printf(raw ? RAW_OVERFLOW_FMT : OVERFLOW_FMT, r.lo);
  else
    std::printf(raw ? RAW_RANGE_FMT : RANGE_FMT, r.lo, r.hi);
  std::printf(raw ? RAW_COUNT_FMT : COUNT_FMT, r.count, static_cast<double>(r.percent));
  if (r.count == 0) {
    std::fputs(raw ? RAW_EMPTY_LINE : EMPTY_LINE, stdout);
    return;
  }
  std::printf(raw ? RAW_BYTES_FMT : BYTES_FMT, r.client, r.server);
  if (rtt)
    std::printf(raw ? RAW_RTT_FMT : RTT_FMT, r.rtt);
  else
    std::fputs(raw ? RAW_NO_RTT : NO_RTT, stdout);
  // The mean throughput term, divided in single precision.
  const float mean = static_cast<float>(r.bucket->throughput) / static_cast<float>(r.count);
  std::printf(raw ? RAW_THROUGHPUT_FMT : THROUGHPUT_FMT, static_cast<double>(mean));
}

void print_heading() {
  switch (g_settings.sort_mode) {
    case BY_THROUGHPUT:
      std::puts("Throughput      NumConns    AvgClient   AvgServer  AvgDuration   EstRTT");
      std::puts("   KB/s                      (bytes)     (bytes)     (msecs)    (msecs)");
      break;
    case BY_CLIENT_BYTES:
    case BY_SERVER_BYTES:
      std::puts(
          g_settings.sort_mode == BY_CLIENT_BYTES
              ? "ClientBytes    NumConns        AvClient  AvServer  AvDuration EstRtt  AvThruput"
              : "ServerBytes    NumConns        AvClient  AvServer  AvDuration EstRtt  AvThruput");
      std::puts("     (KB)                     (bytes)    (bytes)   (msecs)  (msecs)  (KB/s)");
      break;
    case BY_DURATION:
    default:
      std::puts("  Duration       NumConns        AvClient    AvServer   EstRtt  AvThruput");
      std::puts("  (msecs)                        (bytes)     (bytes)    (msecs)  (KB/s)");
      break;
  }
}

void print_filter_listing() {
  const Settings& s = g_settings;
  static constexpr char THROUGHPUT_HEADING[] = "Connections for which throuput was ";
  static constexpr char BYTES_HEADING[] = "Connections for which client sent data ";
  static constexpr char DURATION_HEADING[] = "Connections for which duration was ";
  static constexpr char OPEN_KBS_FMT[] = "%d+ KB/sec:\n";
  static constexpr char OPEN_KB_FMT[] = "%d+ KB:\n";
  static constexpr char OPEN_MSECS_FMT[] = "%d+ msecs:\n";
  static constexpr char RANGE_KBS_FMT[] = "between %d and %d KB/sec:\n";
  static constexpr char RANGE_KB_FMT[] = "between %d and %d KB:\n";
  static constexpr char RANGE_MSECS_FMT[] = "between %d and %d msecs:\n";
  const bool open = s.filter_to == -1;
  switch (s.sort_mode) {
    case BY_THROUGHPUT:
      std::fputs(THROUGHPUT_HEADING, stdout);
      if (open)
        std::printf(OPEN_KBS_FMT, s.filter_from);
      else
        std::printf(RANGE_KBS_FMT, s.filter_from, s.filter_to);
      break;
    case BY_CLIENT_BYTES:
    case BY_SERVER_BYTES:
      std::fputs(BYTES_HEADING, stdout);
      if (open)
        std::printf(OPEN_KB_FMT, s.filter_from);
      else
        std::printf(RANGE_KB_FMT, s.filter_from, s.filter_to);
      break;
    case BY_DURATION:
    default:
      std::fputs(DURATION_HEADING, stdout);
      if (open)
        std::printf(OPEN_MSECS_FMT, s.filter_from);
      else
        std::printf(RANGE_MSECS_FMT, s.filter_from, s.filter_to);
      break;
  }
  static constexpr char FILTER_FMT[] = "host %s and host %s and port %d\n";
  for (const FilterEntry& e : g_filters)
    std::printf(FILTER_FMT, dotted(e.addr_a).text, dotted(e.addr_b).text,
                static_cast<int>(e.client_port));
}

}  // namespace

void print_distribution() {
  const Settings& s = g_settings;
  print_heading();
  if (g_totals.nconns == 0) {
    std::puts("No connections");
    return;
  }
  static constexpr char RAW_RULE[] = "===========";
  if (s.raw) std::puts(RAW_RULE);
  // Estimation may have been switched on during the run: what counts is now.
  const bool rtt = s.rtt_enabled;
  for (size_t i = 0; i < g_buckets.size; ++i) {
    const Row r = make_row(i, g_totals.nconns);
    const bool overflow = i + 1 == g_buckets.size;
    switch (s.sort_mode) {
      case BY_THROUGHPUT:
        print_throughput_row(r, overflow, s.raw, rtt);
        break;
      case BY_CLIENT_BYTES:
      case BY_SERVER_BYTES:
        print_bytes_row(r, overflow, s.raw, rtt);
        break;
      case BY_DURATION:
      default:
        print_duration_row(r, overflow, s.raw, rtt);
        break;
    }
  }
  if (s.raw) std::puts(RAW_RULE);
  if (s.filter_from != -1) print_filter_listing();
}
