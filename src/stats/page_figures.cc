#include "stats/page_figures.h"

#include <algorithm>

namespace {

bool faster(const SlowConnection& a, const SlowConnection& b) {
  if (a.duration_us != b.duration_us) return a.duration_us > b.duration_us;
  return a.start_us < b.start_us;
}

void add_slow(PageFigures& p, const AddrPool& pool, const ConnRecord& r) {
  const auto heap_order = [](const SlowConnection& a, const SlowConnection& b) {
    return faster(a, b);
  };
  if (p.slowest.size() == PageFigures::SLOWEST) {
    const SlowConnection& least = p.slowest.front();
    // Most connections are not among the slowest: decided without formatting.
    if (r.duration_us < least.duration_us ||
        (r.duration_us == least.duration_us && r.start_us >= least.start_us))
      return;
    std::pop_heap(p.slowest.begin(), p.slowest.end(), heap_order);
    p.slowest.pop_back();
  }
  SlowConnection c;
  c.client = addr_text(pool, r.client).text;
  c.client_port = r.client.port;
  c.server = addr_text(pool, r.server).text;
  c.server_port = r.server.port;
  c.start_us = r.start_us;
  c.duration_us = r.duration_us;
  c.handshake_us = r.handshake_us;
  c.syns = r.syns;
  c.client_bytes = r.client_bytes;
  c.server_bytes = r.server_bytes;
  p.slowest.push_back(std::move(c));
  std::push_heap(p.slowest.begin(), p.slowest.end(), heap_order);
}

void add_trouble(PageFigures& p, const AddrPool& pool, const ConnRecord& r) {
  ClientTrouble t;
  if (r.syns > 1) t.repeated_syns = r.syns - 1;
  if (r.state == RecordState::RESET) {
    // The server's RST to an attempt it never answered refused it.
    const bool refusal = r.reset_by == Party::SERVER && r.synacks == 0;
    (refusal ? t.refusals : t.resets) = 1;
  }
  if (t.total() == 0) return;
  const std::string client = addr_text(pool, r.client).text;
  auto it = p.clients.find(client);
  ClientTrouble* into = &p.clients_left_out;
  if (it != p.clients.end())
    into = &it->second;
  else if (p.clients.size() < PageFigures::MAX_CLIENTS)
    into = &p.clients[client];
  into->repeated_syns += t.repeated_syns;
  into->resets += t.resets;
  into->refusals += t.refusals;
}

TimelinePoint merged(const TimelinePoint& a, const TimelinePoint& b) {
  TimelinePoint m;
  m.start_us = a.start_us;
  m.end_us = b.end_us;
  m.new_syns = a.new_syns + b.new_syns;
  m.repeated_syns = a.repeated_syns + b.repeated_syns;
  m.counted = a.counted + b.counted;
  m.resets = a.resets + b.resets;
  m.handshakes = a.handshakes + b.handshakes;
  if (m.handshakes != 0)
    m.handshake_p50_us = (a.handshake_p50_us * static_cast<double>(a.handshakes) +
                          b.handshake_p50_us * static_cast<double>(b.handshakes)) /
                         static_cast<double>(m.handshakes);
  m.handshake_p99_us = std::max(a.handshake_p99_us, b.handshake_p99_us);
  m.rows = a.rows + b.rows;
  return m;
}

}  // namespace

size_t byte_class(uint32_t bytes) {
  size_t n = 0;
  while (bytes != 0) {
    ++n;
    bytes >>= 1;
  }
  return n;
}

void page_add_record(PageFigures& p, const AddrPool& pool, const ConnRecord& r) {
  if (!p.enabled) return;
  if (r.counted) {
    p.bytes_density[byte_class(r.client_bytes)][byte_class(r.server_bytes)]++;
    add_slow(p, pool, r);
  }
  add_trouble(p, pool, r);
}

void page_add_interval(PageFigures& p, const IntervalRow& row) {
  if (!p.enabled) return;
  TimelinePoint point;
  point.start_us = row.start_us;
  point.end_us = row.end_us;
  point.new_syns = row.new_syns;
  point.repeated_syns = row.retried_syns;
  point.counted = row.counted;
  point.resets = row.resets;
  point.handshakes = row.handshakes;
  if (row.handshakes != 0) {
    point.handshake_p50_us = row.handshake_p50_us;
    point.handshake_p99_us = row.handshake_p99_us;
  }
  point.rows = 1;
  if (!p.timeline.empty() && p.timeline.back().rows < p.rows_per_point) {
    p.timeline.back() = merged(p.timeline.back(), point);
    return;
  }
  if (p.timeline.size() == PageFigures::MAX_POINTS) {
    // Each two points become one: the timeline keeps its length in points as the
    // run goes on, whatever its length in rows.
    std::vector<TimelinePoint> halved;
    halved.reserve(PageFigures::MAX_POINTS);
    for (size_t i = 0; i + 1 < p.timeline.size(); i += 2)
      halved.push_back(merged(p.timeline[i], p.timeline[i + 1]));
    p.timeline = std::move(halved);
    p.rows_per_point *= 2;
    if (p.timeline.back().rows < p.rows_per_point) {
      p.timeline.back() = merged(p.timeline.back(), point);
      return;
    }
  }
  p.timeline.push_back(point);
}

std::vector<std::pair<std::string, ClientTrouble>> top_clients(const PageFigures& p) {
  std::vector<std::pair<std::string, ClientTrouble>> all(p.clients.begin(), p.clients.end());
  const auto more = [](const auto& a, const auto& b) {
    if (a.second.total() != b.second.total()) return a.second.total() > b.second.total();
    return a.first < b.first;
  };
  const size_t n = std::min(all.size(), PageFigures::TOP_CLIENTS);
  std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n), all.end(), more);
  all.resize(n);
  return all;
}

std::vector<SlowConnection> slowest_first(const PageFigures& p) {
  std::vector<SlowConnection> s = p.slowest;
  std::sort(s.begin(), s.end(), faster);
  return s;
}
