#include "report/summary_screen.h"

#include <cinttypes>
#include <string>

#include "report/headline.h"
#include "report/readable.h"
#include "stats/run_clock.h"

namespace {

// The labels' column: the figures start after it.
constexpr size_t LABEL_WIDTH = 16;
// The columns of a percentile line.
constexpr size_t FIGURE_WIDTH = 11;

void line(FILE* out, const std::string& label, const std::string& text) {
  static constexpr char LINE_FMT[] = "  %s%s\n";
  std::fprintf(out, LINE_FMT, pad_to(label, LABEL_WIDTH).c_str(), text.c_str());
}

// A count and what it counts: "24", then the explanation in the same line.
void count_line(FILE* out, const char* label, uint64_t n, const char* meaning) {
  char figure[32];
  std::snprintf(figure, sizeof figure, "%" PRIu64, n);
  line(out, label, pad_to(figure, 10) + meaning);
}

struct Point {
  const char* name;
  double q;  // < 0: the maximum
};

// "p50 15 µs    p90 18 µs ..." of a histogram, each figure in its own column; a
// dash line when it holds nothing.
void percentile_line(FILE* out, const char* label, const LogHistogram& h,
                     std::string (*readable)(double), bool wide) {
  if (h.count() == 0) {
    line(out, label, "-  (no completed connection)");
    return;
  }
  static const Point WIDE[] = {{"p50", 0.5}, {"p90", 0.9}, {"p99", 0.99}, {"max", -1}};
  static const Point NARROW[] = {{"p50", 0.5}, {"p99", 0.99}};
  const Point* points = wide ? WIDE : NARROW;
  const size_t count = wide ? 4 : 2;
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    const double v = points[i].q < 0 ? static_cast<double>(h.max())
                                     : reported_quantile(h, points[i].q);
    const std::string figure = std::string(points[i].name) + " " + readable(v);
    text += i + 1 < count ? pad_to(figure, FIGURE_WIDTH + 4) : figure;
  }
  line(out, label, text);
}

void port_summary(const Run& run, const Monitor& m, FILE* out) {
  const Headline h = headline_of(m);
  static constexpr char TITLE_FMT[] = "portsift summary of port %u\n";
  std::fprintf(out, TITLE_FMT, static_cast<unsigned>(h.port));
  line(out, "read", source_text(run));
  const RunClock& clock = run.clock;
  if (has_span(run)) {
    line(out, "from", utc_text(clock.start_time));
    line(out, "to", utc_text(clock.end_time) + " (" + readable_time(span_us(run)) + " later)");
  } else {
    line(out, "from", "-  (no packet)");
  }
  count_line(out, "packets", clock.packet_count, "SYN, FIN and RST segments of the watched ports");
  if (run.skipped_framings != 0)
    count_line(out, "skipped", run.skipped_framings,
               "IPv6 or VLAN-tagged segments, not read: --decode-all reads them");
  count_line(out, "completed", static_cast<uint64_t>(h.completed < 0 ? 0 : h.completed),
             "connections closed by a FIN (within the byte limits)");
  count_line(out, "refused", h.refused, "attempts the server answered with an RST");
  count_line(out, "reset", h.reset, "connections ended by an RST before any FIN");
  count_line(out, "unanswered", h.unanswered, "attempts without a SYN-ACK by the end");
  count_line(out, "open", h.open, "connections still established or closing at the end");
  count_line(out, "SYNs", h.syns, "SYNs in all");
  count_line(out, "repeated SYNs", h.repeated_syns, "SYNs sent again for the same attempt");
  static constexpr char OF_COMPLETED_FMT[] = "  %s\n";
  std::fprintf(out, OF_COMPLETED_FMT, "of the completed connections:");
  percentile_line(out, "handshake", *h.handshake_us, readable_time, true);
  percentile_line(out, "duration", *h.duration_us, readable_time, true);
  percentile_line(out, "client bytes", *h.client_bytes, readable_bytes, false);
  percentile_line(out, "server bytes", *h.server_bytes, readable_bytes, false);
}

}  // namespace

void write_summary_screen(const Run& run, FILE* out) {
  if (run.monitors.empty()) {
    static constexpr char NO_PORT_FMT[] = "portsift summary: no port received a SYN\n";
    std::fputs(NO_PORT_FMT, out);
    return;
  }
  bool first = true;
  for (const Monitor* m : report_order(run)) {
    if (!first) std::fputs("\n", out);
    first = false;
    port_summary(run, *m, out);
  }
}
