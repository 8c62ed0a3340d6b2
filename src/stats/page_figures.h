// What the HTML page shows of a port beyond its totals and percentiles: the
// slowest connections, the clients with the most trouble, the client-versus-server
// bytes density and a timeline of the interval rows. Every part is bounded, so the
// page costs the same whatever the run's scale: top lists, a fixed grid, and a
// timeline whose points cover more rows each as the run grows.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "stats/intervals.h"
#include "track/addr_pool.h"
#include "track/records.h"

// A counted connection among the slowest, its addresses as text (an IPv6 address's
// number in the pool is given to another once its record has left).
struct SlowConnection {
  std::string client;
  uint16_t client_port = 0;
  std::string server;
  uint16_t server_port = 0;
  int64_t start_us = 0;
  int64_t duration_us = 0;
  int64_t handshake_us = -1;
  uint64_t syns = 0;
  uint32_t client_bytes = 0;
  uint32_t server_bytes = 0;
};

// What went wrong for one client address, over all its connections.
struct ClientTrouble {
  uint64_t repeated_syns = 0;
  uint64_t resets = 0;    // an RST before any FIN, not a refusal
  uint64_t refusals = 0;  // the server's RST answered a SYN
  uint64_t total() const { return repeated_syns + resets + refusals; }
};

// One point of the timeline: one interval row, or several adjacent ones once the
// run has more rows than the timeline has points.
struct TimelinePoint {
  int64_t start_us = 0;
  int64_t end_us = 0;
  uint64_t new_syns = 0;
  uint64_t repeated_syns = 0;
  uint64_t counted = 0;
  uint64_t resets = 0;
  uint64_t handshakes = 0;
  // The rows' handshake percentiles: exact for one row; over several, the median is
  // the rows' medians averaged by their handshakes and the p99 the highest p99.
  double handshake_p50_us = 0;
  double handshake_p99_us = 0;
  uint32_t rows = 0;
};

struct PageFigures {
  static constexpr size_t SLOWEST = 20;
  static constexpr size_t TOP_CLIENTS = 10;
  // Clients with trouble followed one by one; the trouble of more is only summed.
  static constexpr size_t MAX_CLIENTS = 100000;
  // At most this many timeline points: when full, each two become one.
  static constexpr size_t MAX_POINTS = 240;
  // Byte counts by their bit length, 0 to 32: a log-log density.
  static constexpr size_t BYTE_CLASSES = 33;

  bool enabled = false;
  // A min-heap on the duration: its front is the fastest of the slowest.
  std::vector<SlowConnection> slowest;
  std::unordered_map<std::string, ClientTrouble> clients;
  ClientTrouble clients_left_out;  // of the clients beyond MAX_CLIENTS
  std::array<std::array<uint64_t, BYTE_CLASSES>, BYTE_CLASSES> bytes_density{};  // [client][server]
  std::vector<TimelinePoint> timeline;
  uint32_t rows_per_point = 1;
};

// The bit length of a byte count: 0 for 0, else 1 + floor(log2(n)).
size_t byte_class(uint32_t bytes);

// A record leaves its table.
void page_add_record(PageFigures& p, const AddrPool& pool, const ConnRecord& r);

// An interval row was computed.
void page_add_interval(PageFigures& p, const IntervalRow& row);

// The clients with the most trouble, most first (ties by address text), at most
// PageFigures::TOP_CLIENTS.
std::vector<std::pair<std::string, ClientTrouble>> top_clients(const PageFigures& p);

// The slowest connections, slowest first (ties by start).
std::vector<SlowConnection> slowest_first(const PageFigures& p);
