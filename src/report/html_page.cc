#include "report/html_page.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <vector>

#include "report/headline.h"
#include "report/readable.h"
#include "stats/run_clock.h"

namespace {

// ---- Text ----

std::string esc(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string num(uint64_t n) { return std::to_string(n); }

// A number as the JSON report writes it: whole numbers without a fraction.
std::string exact(double v) {
  char text[40];
  if (v == std::floor(v) && std::fabs(v) < 1e15)
    std::snprintf(text, sizeof text, "%.0f", v);
  else
    std::snprintf(text, sizeof text, "%.12g", v);
  return text;
}

std::string fixed1(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

// ---- Charts ----

constexpr int CHART_WIDTH = 480;  // half the page's width: two charts side by side
constexpr int TIMELINE_WIDTH = 900;  // the page's width
constexpr int CHART_HEIGHT = 170;
constexpr int LEFT = 56;    // room for the count axis
constexpr int BOTTOM = 36;  // room for the labels
constexpr int TOP = 10;

struct Bar {
  std::string label;  // under the bar (some bars' labels are left out when crowded)
  uint64_t value = 0;
  std::string title;  // the exact figure, as the tooltip
};

// A bar chart of counts, the count axis from 0 to the largest.
std::string bar_chart(const std::vector<Bar>& bars, const std::string& caption,
                      const std::string& axis) {
  std::string svg;
  uint64_t top = 1;
  for (const Bar& b : bars) top = std::max(top, b.value);
  const int plot_w = CHART_WIDTH - LEFT - 8;
  const int plot_h = CHART_HEIGHT - TOP - BOTTOM;
  svg += "<figure><svg class=\"chart\" viewBox=\"0 0 " + num(CHART_WIDTH) + " " +
         num(CHART_HEIGHT) + "\" role=\"img\" aria-label=\"" + esc(caption) + "\">";
  // The count axis: 0, half and the top.
  for (int i = 0; i <= 2; ++i) {
    const double y = TOP + plot_h - plot_h * i / 2.0;
    svg += "<line class=\"grid\" x1=\"" + num(LEFT) + "\" x2=\"" + num(LEFT + plot_w) +
           "\" y1=\"" + fixed1(y) + "\" y2=\"" + fixed1(y) + "\"/>";
    svg += "<text class=\"tick\" x=\"" + num(LEFT - 4) + "\" y=\"" + fixed1(y + 4) +
           "\" text-anchor=\"end\">" + exact(static_cast<double>(top) * i / 2.0) + "</text>";
  }
  svg += "<text class=\"axis\" x=\"12\" y=\"" + num(TOP + plot_h / 2) +
         "\" transform=\"rotate(-90 12 " + num(TOP + plot_h / 2) + ")\" text-anchor=\"middle\">" +
         esc(axis) + "</text>";
  const size_t n = std::max<size_t>(bars.size(), 1);
  const double step = static_cast<double>(plot_w) / static_cast<double>(n);
  const size_t label_every = (n + 11) / 12;
  for (size_t i = 0; i < bars.size(); ++i) {
    const Bar& b = bars[i];
    const double x = LEFT + step * static_cast<double>(i);
    const double h = plot_h * static_cast<double>(b.value) / static_cast<double>(top);
    svg += "<rect class=\"bar\" x=\"" + fixed1(x + step * 0.1) + "\" y=\"" +
           fixed1(TOP + plot_h - h) + "\" width=\"" + fixed1(step * 0.8) + "\" height=\"" +
           fixed1(h) + "\" data-count=\"" + num(b.value) + "\"><title>" + esc(b.title) +
           "</title></rect>";
    if (i % label_every == 0)
      svg += "<text class=\"tick\" x=\"" + fixed1(x + step / 2) + "\" y=\"" +
             num(TOP + plot_h + 14) + "\" text-anchor=\"middle\">" + esc(b.label) + "</text>";
  }
  svg += "</svg><figcaption>" + esc(caption) + "</figcaption></figure>";
  return svg;
}

// A time or size distribution on powers of two: the histogram's buckets lie on them,
// so every bar's count is exact.
std::string log_distribution(const LogHistogram& h, std::string (*readable)(double),
                             const std::string& caption, const char* what) {
  if (h.count() == 0) return "<p class=\"none\">" + esc(caption) + ": no completed connection.</p>";
  std::vector<Bar> bars;
  // From the power of two at or below the smallest value to the one above the largest.
  const auto floor_pow2 = [](uint64_t v) { return v == 0 ? 0 : uint64_t{1} << (63 - __builtin_clzll(v)); };
  uint64_t lo = floor_pow2(h.min());
  const uint64_t last = floor_pow2(h.max());
  for (;;) {
    const uint64_t hi = lo == 0 ? 1 : (lo >= (uint64_t{1} << 63) ? UINT64_MAX : lo * 2);
    Bar b;
    b.value = h.count_between(lo, hi);
    b.label = readable(static_cast<double>(lo));
    b.title = std::string(what) + " from " + readable(static_cast<double>(lo)) + " to under " +
              readable(static_cast<double>(hi)) + ": " + num(b.value) + " connections";
    bars.push_back(std::move(b));
    if (lo == last || hi == UINT64_MAX) break;
    lo = hi;
  }
  return bar_chart(bars, caption, "connections");
}

std::string syn_chart(const Monitor& m) {
  if (m.syn_dist.empty()) return "<p class=\"none\">SYNs per connection: no completed connection.</p>";
  // One bar per count of SYNs up to SYN_BARS, and one for every count beyond.
  constexpr uint64_t SYN_BARS = 15;
  std::vector<Bar> bars;
  Bar more;
  for (const auto& [syns, conns] : m.syn_dist) {
    if (syns > SYN_BARS) {
      more.value += static_cast<uint64_t>(conns);
      continue;
    }
    Bar b;
    b.value = static_cast<uint64_t>(conns);
    b.label = num(syns);
    b.title = num(syns) + (syns == 1 ? " SYN: " : " SYNs: ") + num(b.value) + " connections";
    bars.push_back(std::move(b));
  }
  if (more.value != 0) {
    more.label = "more";
    more.title = "more than " + num(SYN_BARS) + " SYNs: " + num(more.value) + " connections";
    bars.push_back(std::move(more));
  }
  return bar_chart(bars, "SYNs each completed connection took (1: no retry)", "connections");
}

// The density's cells: byte classes (bit lengths, byte_class()) two by two, so a
// cell spans a factor of four: cell 0 is 0 bytes, cell k holds 4^(k-1) to under 4^k.
constexpr size_t DENSITY_CELLS = (PageFigures::BYTE_CLASSES + 1) / 2;
size_t cell_of_class(size_t c) { return (c + 1) / 2; }

std::string cell_range(size_t k) {
  if (k == 0) return "0 B";
  const double lo = std::ldexp(1.0, 2 * (static_cast<int>(k) - 1));
  return readable_bytes(lo) + "-" + readable_bytes(lo * 4);
}

// Client bytes across, server bytes up, both on a log scale: each cell's shade grows
// with the logarithm of its connections.
std::string bytes_density(const PageFigures& p) {
  uint64_t cells[DENSITY_CELLS][DENSITY_CELLS] = {};
  for (size_t c = 0; c < PageFigures::BYTE_CLASSES; ++c)
    for (size_t s = 0; s < PageFigures::BYTE_CLASSES; ++s)
      cells[cell_of_class(c)][cell_of_class(s)] += p.bytes_density[c][s];
  size_t c_lo = DENSITY_CELLS, c_hi = 0, s_lo = DENSITY_CELLS, s_hi = 0;
  uint64_t most = 0;
  for (size_t c = 0; c < DENSITY_CELLS; ++c)
    for (size_t s = 0; s < DENSITY_CELLS; ++s) {
      const uint64_t n = cells[c][s];
      if (n == 0) continue;
      c_lo = std::min(c_lo, c);
      c_hi = std::max(c_hi, c);
      s_lo = std::min(s_lo, s);
      s_hi = std::max(s_hi, s);
      most = std::max(most, n);
    }
  if (most == 0) return "<p class=\"none\">Client versus server bytes: no completed connection.</p>";
  const size_t cols = c_hi - c_lo + 1, rows = s_hi - s_lo + 1;
  const int size = 260;
  const double cw = static_cast<double>(size) / static_cast<double>(cols);
  const double ch = static_cast<double>(size) / static_cast<double>(rows);
  std::string svg = "<figure><svg class=\"chart density\" viewBox=\"0 0 " + num(size + LEFT + 10) +
                    " " + num(size + BOTTOM + 10) +
                    "\" role=\"img\" aria-label=\"client versus server bytes\">";
  svg += "<rect class=\"frame\" x=\"" + num(LEFT) + "\" y=\"10\" width=\"" + num(size) +
         "\" height=\"" + num(size) + "\"/>";
  const double log_most = std::log(static_cast<double>(most) + 1);
  for (size_t c = c_lo; c <= c_hi; ++c)
    for (size_t s = s_lo; s <= s_hi; ++s) {
      const uint64_t n = cells[c][s];
      if (n == 0) continue;
      const double shade = 0.15 + 0.85 * std::log(static_cast<double>(n) + 1) / log_most;
      const double x = LEFT + cw * static_cast<double>(c - c_lo);
      const double y = 10 + size - ch * static_cast<double>(s - s_lo + 1);
      svg += "<rect class=\"cell\" x=\"" + fixed1(x) + "\" y=\"" + fixed1(y) + "\" width=\"" +
             fixed1(cw) + "\" height=\"" + fixed1(ch) + "\" fill-opacity=\"" +
             exact(std::round(shade * 100) / 100) + "\"><title>client " + esc(cell_range(c)) +
             ", server " + esc(cell_range(s)) + ": " + num(n) + "</title></rect>";
    }
  svg += "<text class=\"tick\" x=\"" + num(LEFT) + "\" y=\"" + num(size + 26) + "\">" +
         esc(cell_range(c_lo)) + "</text>";
  svg += "<text class=\"tick\" x=\"" + num(LEFT + size) + "\" y=\"" + num(size + 26) +
         "\" text-anchor=\"end\">" + esc(cell_range(c_hi)) + "</text>";
  svg += "<text class=\"axis\" x=\"" + num(LEFT + size / 2) + "\" y=\"" + num(size + 42) +
         "\" text-anchor=\"middle\">client bytes →</text>";
  svg += "<text class=\"axis\" x=\"14\" y=\"" + num(10 + size / 2) + "\" transform=\"rotate(-90 14 " +
         num(10 + size / 2) + ")\" text-anchor=\"middle\">server bytes →</text>";
  svg += "</svg><figcaption>Client versus server bytes of the completed connections, connections "
         "per cell (each cell spans a factor of four on both axes; darker: more)</figcaption></figure>";
  return svg;
}

// The timeline of the interval rows: four lanes over one time axis.
std::string timeline(const Run& run, const Monitor& m) {
  const std::vector<TimelinePoint>& points = m.page.timeline;
  if (points.empty()) return "<p class=\"none\">Timeline: the run had no time.</p>";
  const int64_t point_us = m.intervals.length_us * m.page.rows_per_point;
  const std::string per = point_us == 1000000 ? "second"
                          : point_us % 1000000 == 0 ? num(static_cast<uint64_t>(point_us / 1000000)) + " s"
                                                    : readable_time(static_cast<double>(point_us));
  const int lane_h = 70, gap = 16, lanes = 4;
  const int height = TOP + lanes * (lane_h + gap) + 20;
  const int plot_w = TIMELINE_WIDTH - LEFT - 8;
  const double step = static_cast<double>(plot_w) / static_cast<double>(points.size());
  struct Lane {
    const char* name;
    uint64_t TimelinePoint::*field;
    const char* css;
  } counts[] = {{"connections completed", &TimelinePoint::counted, "bar"},
                {"resets", &TimelinePoint::resets, "bar reset"},
                {"repeated SYNs", &TimelinePoint::repeated_syns, "bar retry"}};
  std::string svg = "<figure><svg class=\"chart timeline\" viewBox=\"0 0 " + num(TIMELINE_WIDTH) +
                    " " + num(height) + "\" role=\"img\" aria-label=\"timeline\">";
  const auto point_time = [](const TimelinePoint& pt) {
    return utc_text(timeval_of_usecs(pt.start_us));
  };
  for (int lane = 0; lane < 3; ++lane) {
    const Lane& l = counts[lane];
    const int y0 = TOP + lane * (lane_h + gap);
    uint64_t most = 0;
    for (const TimelinePoint& pt : points) most = std::max(most, pt.*(l.field));
    const uint64_t top = std::max<uint64_t>(most, 1);
    svg += "<text class=\"lane\" x=\"" + num(LEFT) + "\" y=\"" + num(y0 + 8) + "\">" + l.name +
           " per " + esc(per) + " (at most " + num(most) + ")</text>";
    svg += "<line class=\"grid\" x1=\"" + num(LEFT) + "\" x2=\"" + num(LEFT + plot_w) +
           "\" y1=\"" + num(y0 + lane_h) + "\" y2=\"" + num(y0 + lane_h) + "\"/>";
    for (size_t i = 0; i < points.size(); ++i) {
      const uint64_t v = points[i].*(l.field);
      if (v == 0) continue;
      const double h = (lane_h - 12) * static_cast<double>(v) / static_cast<double>(top);
      svg += "<rect class=\"" + std::string(l.css) + "\" x=\"" +
             fixed1(LEFT + step * static_cast<double>(i)) + "\" y=\"" + fixed1(y0 + lane_h - h) +
             "\" width=\"" + fixed1(std::max(step * 0.9, 0.5)) + "\" height=\"" + fixed1(h) +
             "\"><title>" + esc(point_time(points[i])) + ": " + num(v) + " " + l.name +
             "</title></rect>";
    }
  }
  // The handshake lane: p50 and p99 lines, a point for each interval that had one.
  const int y0 = TOP + 3 * (lane_h + gap);
  double top_us = 0;
  for (const TimelinePoint& pt : points)
    if (pt.handshakes != 0) top_us = std::max(top_us, pt.handshake_p99_us);
  svg += "<text class=\"lane\" x=\"" + num(LEFT) + "\" y=\"" + num(y0 + 8) +
         "\">handshake p50 and p99 (at most " + esc(readable_time(top_us)) + ")</text>";
  if (top_us <= 0) top_us = 1;
  svg += "<line class=\"grid\" x1=\"" + num(LEFT) + "\" x2=\"" + num(LEFT + plot_w) + "\" y1=\"" +
         num(y0 + lane_h) + "\" y2=\"" + num(y0 + lane_h) + "\"/>";
  const bool merged = m.page.rows_per_point > 1;
  for (int which = 0; which < 2; ++which) {
    std::string line = "<polyline class=\"" + std::string(which == 0 ? "p50" : "p99") + "\" points=\"";
    std::string marks;
    for (size_t i = 0; i < points.size(); ++i) {
      const TimelinePoint& pt = points[i];
      if (pt.handshakes == 0) continue;
      const double v = which == 0 ? pt.handshake_p50_us : pt.handshake_p99_us;
      const double x = LEFT + step * (static_cast<double>(i) + 0.5);
      const double y = y0 + lane_h - (lane_h - 12) * v / top_us;
      line += fixed1(x) + "," + fixed1(y) + " ";
      marks += "<circle class=\"" + std::string(which == 0 ? "p50" : "p99") + "\" cx=\"" + fixed1(x) +
               "\" cy=\"" + fixed1(y) + "\" r=\"2\"><title>" + esc(point_time(pt)) + ": " +
               (which == 0 ? (merged ? "handshake p50 (averaged) " : "handshake p50 ")
                           : (merged ? "handshake p99 (highest) " : "handshake p99 ")) +
               esc(readable_time(v)) + " of " + num(pt.handshakes) + "</title></circle>";
    }
    svg += line + "\"/>" + marks;
  }
  svg += "<text class=\"tick\" x=\"" + num(LEFT) + "\" y=\"" + num(height - 4) + "\">" +
         esc(point_time(points.front())) + "</text>";
  svg += "<text class=\"tick\" x=\"" + num(LEFT + plot_w) + "\" y=\"" + num(height - 4) +
         "\" text-anchor=\"end\">" + esc(utc_text(run.clock.end_time)) + "</text>";
  svg += "</svg><figcaption>Each " + esc(per) +
         " of the run: connections completed, resets, repeated SYNs, and the handshake "
         "times of the SYN-ACKs in it</figcaption></figure>";
  return svg;
}

// ---- Tables ----

std::string tcpdump_host(const std::string& addr) { return "host " + addr; }

std::string slowest_table(const Monitor& m) {
  const std::vector<SlowConnection> slow = slowest_first(m.page);
  if (slow.empty()) return "<p class=\"none\">Slowest connections: no completed connection.</p>";
  std::string t =
      "<table class=\"list slowest\"><caption>The slowest completed connections</caption>"
      "<thead><tr><th>client</th><th>server</th><th>start (UTC)</th><th>duration</th>"
      "<th>handshake</th><th>SYNs</th><th>client bytes</th><th>server bytes</th>"
      "<th>tcpdump filter</th></tr></thead><tbody>";
  for (const SlowConnection& c : slow) {
    const std::string filter = tcpdump_host(c.client) + " and tcp port " + num(c.client_port) +
                               " and " + tcpdump_host(c.server) + " and tcp port " +
                               num(c.server_port);
    t += "<tr data-duration-us=\"" + std::to_string(c.duration_us) + "\"><td>" + esc(c.client) +
         ":" + num(c.client_port) + "</td><td>" + esc(c.server) + ":" + num(c.server_port) +
         "</td><td>" + esc(utc_text(timeval_of_usecs(c.start_us))) + "</td><td>" +
         esc(readable_time(static_cast<double>(c.duration_us))) + "</td><td>" +
         (c.handshake_us >= 0 ? esc(readable_time(static_cast<double>(c.handshake_us))) : "-") +
         "</td><td>" + num(c.syns) + "</td><td>" + num(c.client_bytes) + "</td><td>" +
         num(c.server_bytes) + "</td><td><code>" + esc(filter) + "</code></td></tr>";
  }
  return t + "</tbody></table>";
}

std::string clients_table(const Monitor& m) {
  const auto top = top_clients(m.page);
  if (top.empty())
    return "<p class=\"none\">Clients in trouble: no repeated SYN, reset or refusal.</p>";
  std::string t =
      "<table class=\"list clients\"><caption>The clients with the most repeated SYNs, resets "
      "and refusals</caption><thead><tr><th>client</th><th>repeated SYNs</th><th>resets</th>"
      "<th>refusals</th><th>tcpdump filter</th></tr></thead><tbody>";
  for (const auto& [client, trouble] : top) {
    t += "<tr><td>" + esc(client) + "</td><td>" + num(trouble.repeated_syns) + "</td><td>" +
         num(trouble.resets) + "</td><td>" + num(trouble.refusals) + "</td><td><code>" +
         esc(tcpdump_host(client) + " and tcp port " + num(m.port)) + "</code></td></tr>";
  }
  t += "</tbody></table>";
  const ClientTrouble& more = m.page.clients_left_out;
  if (more.total() != 0)
    t += "<p class=\"note\">Beyond the first " + num(PageFigures::MAX_CLIENTS) +
         " clients in trouble, more had " + num(more.repeated_syns) + " repeated SYNs, " +
         num(more.resets) + " resets and " + num(more.refusals) +
         " refusals; they are not ranked.</p>";
  return t;
}

// ---- Cards ----

std::string card(const char* figure, const std::string& value_text, const std::string& value,
                 const char* label, const char* meaning) {
  return "<div class=\"card\" data-figure=\"" + std::string(figure) + "\" data-value=\"" + value +
         "\"><div class=\"v\">" + esc(value_text) + "</div><div class=\"k\">" + label +
         "</div><div class=\"d\">" + meaning + "</div></div>";
}

std::string count_card(const char* figure, uint64_t n, const char* label, const char* meaning) {
  return card(figure, num(n), num(n), label, meaning);
}

std::string quantile_card(const char* figure, const LogHistogram& h, double q,
                          std::string (*readable)(double), const char* label) {
  if (h.count() == 0) return card(figure, "-", "", label, "no completed connection");
  const double v = q < 0 ? static_cast<double>(h.max()) : reported_quantile(h, q);
  return card(figure, readable(v), exact(v), label, "of the completed connections");
}

std::string cards(const Headline& h) {
  std::string c = "<div class=\"cards\">";
  c += count_card("completed", static_cast<uint64_t>(std::max<int64_t>(h.completed, 0)),
                  "completed", "closed by a FIN");
  c += count_card("refused", h.refused, "refused", "the server answered the SYN with an RST");
  c += count_card("reset", h.reset, "reset", "an RST before any FIN");
  c += count_card("unanswered", h.unanswered, "unanswered", "no SYN-ACK by the end");
  c += count_card("open", h.open, "open", "established or closing at the end");
  c += count_card("repeated_syns", h.repeated_syns, "repeated SYNs", "SYNs sent again");
  c += "</div><div class=\"cards\">";
  c += quantile_card("handshake_p50", *h.handshake_us, 0.5, readable_time, "handshake p50");
  c += quantile_card("handshake_p90", *h.handshake_us, 0.9, readable_time, "handshake p90");
  c += quantile_card("handshake_p99", *h.handshake_us, 0.99, readable_time, "handshake p99");
  c += quantile_card("handshake_max", *h.handshake_us, -1, readable_time, "handshake max");
  c += quantile_card("duration_p50", *h.duration_us, 0.5, readable_time, "duration p50");
  c += quantile_card("duration_p90", *h.duration_us, 0.9, readable_time, "duration p90");
  c += quantile_card("duration_p99", *h.duration_us, 0.99, readable_time, "duration p99");
  c += quantile_card("duration_max", *h.duration_us, -1, readable_time, "duration max");
  c += "</div><div class=\"cards\">";
  c += quantile_card("client_bytes_p50", *h.client_bytes, 0.5, readable_bytes, "client bytes p50");
  c += quantile_card("client_bytes_p99", *h.client_bytes, 0.99, readable_bytes, "client bytes p99");
  c += quantile_card("server_bytes_p50", *h.server_bytes, 0.5, readable_bytes, "server bytes p50");
  c += quantile_card("server_bytes_p99", *h.server_bytes, 0.99, readable_bytes, "server bytes p99");
  return c + "</div>";
}

std::string port_section(const Run& run, const Monitor& m) {
  const Headline h = headline_of(m);
  std::string s = "<section class=\"port\" id=\"port-" + num(m.port) + "\" data-port=\"" +
                  num(m.port) + "\"><h2>Port " + num(m.port) + "</h2>";
  s += cards(h);
  s += "<div class=\"charts\">";
  s += log_distribution(*h.duration_us, readable_time,
                        "Duration of the completed connections (SYN to first FIN)", "duration");
  s += log_distribution(*h.handshake_us, readable_time,
                        "Handshake time of the completed connections (SYN to SYN-ACK)", "handshake");
  s += syn_chart(m);
  s += bytes_density(m.page);
  s += "</div>";
  s += timeline(run, m);
  s += slowest_table(m);
  s += clients_table(m);
  return s + "</section>";
}

std::string overview(const std::vector<const Monitor*>& order) {
  std::string t =
      "<table class=\"overview\"><caption>Every port</caption><thead><tr><th>port</th>"
      "<th>completed</th><th>refused</th><th>reset</th><th>unanswered</th><th>open</th>"
      "<th>repeated SYNs</th><th>handshake p50</th><th>duration p50</th></tr></thead><tbody>";
  size_t i = 0;
  for (const Monitor* m : order) {
    const Headline h = headline_of(*m);
    const std::string port =
        i++ < HTML_DETAILED_PORTS
            ? "<a href=\"#port-" + num(m->port) + "\">" + num(m->port) + "</a>"
            : num(m->port);
    const auto p50 = [](const LogHistogram& hist) {
      return hist.count() == 0 ? std::string("-") : esc(readable_time(reported_quantile(hist, 0.5)));
    };
    t += "<tr data-port=\"" + num(m->port) + "\"><td>" + port + "</td><td>" +
         num(static_cast<uint64_t>(std::max<int64_t>(h.completed, 0))) + "</td><td>" +
         num(h.refused) + "</td><td>" + num(h.reset) + "</td><td>" + num(h.unanswered) +
         "</td><td>" + num(h.open) + "</td><td>" + num(h.repeated_syns) + "</td><td>" +
         p50(*h.handshake_us) + "</td><td>" + p50(*h.duration_us) + "</td></tr>";
  }
  return t + "</tbody></table>";
}

// Light by default, dark when the reader's system asks for it; no colour carries
// meaning alone (every mark has its figure in words).
constexpr char STYLE[] = R"(
:root{--fg:#1d2329;--muted:#5b6570;--bg:#ffffff;--card:#f3f5f7;--line:#d5dae0;
--bar:#2f6fb0;--reset:#c2452d;--retry:#b7791f;--p50:#2f6fb0;--p99:#7b3fb0;}
@media (prefers-color-scheme: dark){:root{--fg:#e6e9ec;--muted:#9aa4ae;--bg:#15191d;
--card:#20262c;--line:#3a424a;--bar:#6aa5e0;--reset:#e7795f;--retry:#e0a84a;--p50:#6aa5e0;
--p99:#b48ae0;}}
*{box-sizing:border-box}
body{margin:0 auto;max-width:980px;padding:16px 20px;background:var(--bg);color:var(--fg);
font:14px/1.45 system-ui,-apple-system,"Segoe UI",sans-serif}
h1{font-size:22px;margin:0 0 4px}h2{font-size:18px;margin:28px 0 8px;
border-bottom:1px solid var(--line);padding-bottom:4px}
.meta{color:var(--muted);margin:0 0 12px}
.charts{display:grid;grid-template-columns:1fr 1fr;gap:0 16px}
@media (max-width:700px){.charts{grid-template-columns:1fr}}
.cards{display:flex;flex-wrap:wrap;gap:8px;margin:8px 0}
.card{background:var(--card);border-radius:6px;padding:8px 12px;min-width:130px;flex:1}
.card .v{font-size:20px;font-weight:600}.card .k{font-weight:600}
.card .d{color:var(--muted);font-size:12px}
figure{margin:12px 0}figcaption{color:var(--muted);font-size:12px}
svg.chart{width:100%;height:auto;display:block}svg.density{max-width:330px}
.grid{stroke:var(--line);stroke-width:1}.frame{fill:none;stroke:var(--line)}
.tick,.axis,.lane{fill:var(--muted);font-size:11px}.lane{font-size:12px}
.bar{fill:var(--bar)}.bar.reset{fill:var(--reset)}.bar.retry{fill:var(--retry)}
.cell{fill:var(--bar)}
polyline.p50{fill:none;stroke:var(--p50);stroke-width:1.5}
polyline.p99{fill:none;stroke:var(--p99);stroke-width:1.5;stroke-dasharray:4 2}
circle.p50{fill:var(--p50)}circle.p99{fill:var(--p99)}
table{border-collapse:collapse;width:100%;margin:12px 0;font-size:13px}
caption{text-align:left;font-weight:600;padding:4px 0}
th,td{border-bottom:1px solid var(--line);padding:3px 6px;text-align:left;vertical-align:top}
td code{font-size:12px;word-break:break-all}
.none,.note{color:var(--muted)}a{color:var(--bar)}
@media print{body{max-width:none;padding:0}section.port{break-before:page}
.card,figure,table{break-inside:avoid}}
)";

}  // namespace

std::string html_page(const Run& run) {
  const Settings& s = run.settings;
  const std::vector<const Monitor*> order = report_order(run);
  std::string ports_text;
  if (s.any_port)
    ports_text = "every port that received a SYN";
  else if (s.ports.size() == 1)
    ports_text = "port " + num(s.ports.front());
  else
    ports_text = num(s.ports.size()) + " ports";
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      // Nothing is fetched and nothing runs: the page is whole as it stands.
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'; img-src data:; base-uri 'none'; form-action 'none'\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<meta name=\"color-scheme\" content=\"light dark\">"
      "<meta name=\"generator\" content=\"portsift\"><title>portsift: " +
      esc(ports_text) + "</title><style>" + STYLE + "</style></head><body>";
  page += "<header><h1>portsift: " + esc(ports_text) + "</h1><p class=\"meta\">Read " +
          esc(source_text(run));
  const RunClock& clock = run.clock;
  if (has_span(run))
    page += ", from " + esc(utc_text(clock.start_time)) + " to " + esc(utc_text(clock.end_time)) +
            " (" + esc(readable_time(span_us(run))) + ")";
  page += "; " + num(clock.packet_count) + " SYN, FIN and RST segments.";
  if (run.skipped_framings != 0)
    page += " " + num(run.skipped_framings) +
            " IPv6 or VLAN-tagged segments were not read: <code>--decode-all</code> reads them.";
  page += "</p></header>";
  if (order.empty()) {
    page += "<p class=\"none\">No port received a SYN.</p>";
  } else {
    if (order.size() > 1) page += overview(order);
    for (size_t i = 0; i < order.size() && i < HTML_DETAILED_PORTS; ++i)
      page += port_section(run, *order[i]);
    if (order.size() > HTML_DETAILED_PORTS)
      page += "<p class=\"note\">The " + num(order.size() - HTML_DETAILED_PORTS) +
              " quieter ports have their figures in the overview only.</p>";
  }
  page += "<footer class=\"meta\"><p>Times are from the capture's timestamps; sizes in powers of "
          "1000 (1 kB = 1000 bytes). A side's byte count counts its SYN as one byte.</p>"
          "</footer></body></html>\n";
  return page;
}

bool write_html_page(const Run& run, const std::string& path) {
  const std::string page = html_page(run);
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const bool written = std::fwrite(page.data(), 1, page.size(), f) == page.size();
  const int saved = errno;
  const bool closed = std::fclose(f) == 0;
  if (!written) errno = saved;
  return written && closed;
}
