// gen_capture: writes large synthetic captures for the benchmark: Ethernet, IPv4 (or,
// for ipv6-vlan, an 802.1Q tag and IPv6) and TCP with correct header lengths,
// reproducible from a seed.
//
// Every client endpoint (address and port) is used by one connection only, so the
// generator can follow the connection table exactly as portsift keeps it: a record
// appears at a client's first SYN and disappears at the answering FIN or at an RST.
// It prints the largest number of records open at once, and the totals the report
// should show, as "name=value" words on one line.
//
//   gen_capture --workload mixed|handshake|open-peak|ipv6-vlan|scale --out FILE [options]
//     --seed N          random seed (default 1)
//     --connections N   connections (default: the workload's own)
//     --open N          scale: connections left open at the end
//     --completed N     scale: connections opened and closed by FINs
//     --snaplen N       bytes kept per packet, 0 = whole packets (default 0)
//     --ports N         spread the connections over server ports 80 to 80 + N - 1
//                       (default 1: all on port 80)
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <queue>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------- randomness

// splitmix64: small, fast, and the same sequence on every platform.
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi].
  uint64_t range(uint64_t lo, uint64_t hi) { return lo + next() % (hi - lo + 1); }
  double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
  bool chance(double p) { return unit() < p; }
};

// ---------------------------------------------------------------- pcap writing

constexpr uint32_t PCAP_MAGIC = 0xa1b2c3d4;  // microsecond timestamps
constexpr uint32_t LINKTYPE_ETHERNET = 1;
constexpr size_t ETH_LEN = 14;
constexpr size_t IP_LEN = 20;  // no IP options
constexpr size_t VLAN_LEN = 4;
constexpr size_t IP6_LEN = 40;  // no extension headers
constexpr size_t UDP_LEN = 8;
constexpr size_t MAX_FRAME = ETH_LEN + VLAN_LEN + IP6_LEN + 60 + 1500;

constexpr uint8_t FIN = 0x01, SYN = 0x02, RST = 0x04, PSH = 0x08, ACK = 0x10;

class PcapWriter {
 public:
  PcapWriter(const char* path, uint32_t snaplen) : snaplen_(snaplen) {
    file_ = std::fopen(path, "wb");
    if (file_ == nullptr) {
      std::fprintf(stderr, "gen_capture: %s: %s\n", path, std::strerror(errno));
      std::exit(1);
    }
    buf_.resize(BUF_SIZE);
    uint32_t header[6] = {PCAP_MAGIC,       0x00040002, 0, 0, snaplen == 0 ? 262144 : snaplen,
                          LINKTYPE_ETHERNET};
    std::memcpy(&buf_[0], header, sizeof header);
    used_ = sizeof header;
  }

  // Room for one record: its 16-byte header and a whole frame.
  uint8_t* frame() {
    if (used_ + 16 + MAX_FRAME > BUF_SIZE) flush();
    return &buf_[used_ + 16];
  }
  void commit(uint64_t t_us, size_t wire_len) {
    const uint32_t cap = snaplen_ != 0 && wire_len > snaplen_ ? snaplen_ : wire_len;
    uint32_t rec[4] = {static_cast<uint32_t>(t_us / 1000000), static_cast<uint32_t>(t_us % 1000000),
                       cap, static_cast<uint32_t>(wire_len)};
    std::memcpy(&buf_[used_], rec, sizeof rec);
    used_ += 16 + cap;
    packets++;
    bytes += 16 + cap;
  }
  void close() {
    flush();
    if (std::fclose(file_) != 0) {
      std::fprintf(stderr, "gen_capture: write failed: %s\n", std::strerror(errno));
      std::exit(1);
    }
  }

  uint64_t packets = 0;
  uint64_t bytes = 0;

 private:
  static constexpr size_t BUF_SIZE = 4 << 20;
  void flush() {
    if (used_ != 0 && std::fwrite(buf_.data(), 1, used_, file_) != used_) {
      std::fprintf(stderr, "gen_capture: write failed: %s\n", std::strerror(errno));
      std::exit(1);
    }
    used_ = 0;
  }
  FILE* file_;
  std::vector<uint8_t> buf_;
  size_t used_ = 0;
  uint32_t snaplen_;
};

void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v >> 16);
  put16(p + 2, v);
}

// Addresses are host-order numbers here and written most significant byte first.
const uint32_t SERVER_ADDR = 0xc0000250;  // 192.0.2.80
constexpr uint16_t SERVER_PORT = 80;

uint16_t g_ip_id = 0;
// ipv6-vlan: every frame carries a VLAN tag and IPv6, the addresses of the IPv4
// workload placed in 2001:db8::/32.
bool g_ipv6_vlan = false;

// The link and network headers' length: what a frame has before its layer-4 header.
size_t headers_len() { return g_ipv6_vlan ? ETH_LEN + VLAN_LEN + IP6_LEN : ETH_LEN + IP_LEN; }

void put_ip6_addr(uint8_t* p, uint32_t v4) {
  static const uint8_t PREFIX[12] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0};
  std::memcpy(p, PREFIX, 12);
  put32(p + 12, v4);
}

// Ethernet and IP headers (with the VLAN tag of ipv6-vlan) for a datagram with
// `l4_len` bytes after the IP header; returns where the layer-4 header starts.
uint8_t* put_ip(uint8_t* f, uint32_t src, uint32_t dst, uint8_t proto, size_t l4_len,
                bool from_client) {
  static const uint8_t CLIENT_MAC[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  static const uint8_t SERVER_MAC[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x50};
  std::memcpy(f, from_client ? SERVER_MAC : CLIENT_MAC, 6);
  std::memcpy(f + 6, from_client ? CLIENT_MAC : SERVER_MAC, 6);
  if (g_ipv6_vlan) {
    put16(f + 12, 0x8100);
    put16(f + 14, 100);  // VLAN 100
    put16(f + 16, 0x86dd);
    uint8_t* ip6 = f + ETH_LEN + VLAN_LEN;
    put32(ip6, 0x60000000);
    put16(ip6 + 4, static_cast<uint32_t>(l4_len));
    ip6[6] = proto;
    ip6[7] = 64;
    put_ip6_addr(ip6 + 8, src);
    put_ip6_addr(ip6 + 24, dst);
    return ip6 + IP6_LEN;
  }
  put16(f + 12, 0x0800);
  uint8_t* ip = f + ETH_LEN;
  ip[0] = 0x45;
  ip[1] = 0;
  put16(ip + 2, static_cast<uint32_t>(IP_LEN + l4_len));
  put16(ip + 4, g_ip_id++);
  put16(ip + 6, 0x4000);  // don't fragment
  ip[8] = 64;
  ip[9] = proto;
  put16(ip + 10, 0);
  put32(ip + 12, src);
  put32(ip + 16, dst);
  uint32_t sum = 0;
  for (size_t i = 0; i < IP_LEN; i += 2) sum += static_cast<uint32_t>(ip[i] << 8 | ip[i + 1]);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  put16(ip + 10, ~sum & 0xffff);
  return ip + IP_LEN;
}

// One TCP segment. SYNs carry the usual 20 bytes of options (MSS, SACK permitted,
// timestamps, window scale), other segments but RSTs the 12-byte timestamp option.
// The TCP checksum is left 0: neither libpcap nor portsift reads it.
void put_tcp(PcapWriter& w, uint64_t t_us, bool from_client, uint32_t client_addr,
             uint16_t client_port, uint16_t server_port, uint32_t seq, uint32_t ack, uint8_t flags,
             uint32_t payload) {
  const size_t opt = (flags & SYN) ? 20 : (flags & RST) ? 0 : 12;
  const size_t tcp_len = 20 + opt;
  uint8_t* f = w.frame();
  uint8_t* tcp = put_ip(f, from_client ? client_addr : SERVER_ADDR,
                        from_client ? SERVER_ADDR : client_addr, 6, tcp_len + payload, from_client);
  put16(tcp, from_client ? client_port : server_port);
  put16(tcp + 2, from_client ? server_port : client_port);
  put32(tcp + 4, seq);
  put32(tcp + 8, (flags & ACK) ? ack : 0);
  tcp[12] = static_cast<uint8_t>((tcp_len / 4) << 4);
  tcp[13] = flags;
  put16(tcp + 14, 64240);
  put32(tcp + 16, 0);  // checksum, urgent pointer
  uint8_t* o = tcp + 20;
  if (flags & SYN) {
    static const uint8_t SYN_OPTS[20] = {2, 4, 0x05, 0xb4, 4, 2, 8, 10, 0, 0,
                                         0, 1, 0,    0,    0, 0, 1, 3,  3, 7};
    std::memcpy(o, SYN_OPTS, 20);
  } else if (opt == 12) {
    static const uint8_t TS_OPTS[12] = {1, 1, 8, 10, 0, 0, 0, 1, 0, 0, 0, 1};
    std::memcpy(o, TS_OPTS, 12);
  }
  std::memset(tcp + tcp_len, 0, payload);
  w.commit(t_us, headers_len() + tcp_len + payload);
}

// Traffic the capture filter must reject: DNS over UDP, and HTTPS segments.
void put_other(PcapWriter& w, Rng& rng, uint64_t t_us) {
  const uint32_t client = 0x0a000000 | static_cast<uint32_t>(rng.range(1, 0xfffffe));
  const uint16_t port = static_cast<uint16_t>(rng.range(1024, 65535));
  if (rng.chance(0.3)) {
    const size_t payload = rng.range(30, 120);
    uint8_t* f = w.frame();
    uint8_t* udp = put_ip(f, client, SERVER_ADDR, 17, UDP_LEN + payload, true);
    put16(udp, port);
    put16(udp + 2, 53);
    put16(udp + 4, static_cast<uint32_t>(UDP_LEN + payload));
    put16(udp + 6, 0);
    std::memset(udp + UDP_LEN, 0, payload);
    w.commit(t_us, headers_len() + UDP_LEN + payload);
    return;
  }
  static const uint8_t FLAGS[] = {ACK, ACK | PSH, ACK, SYN, FIN | ACK, RST};
  const uint8_t flags = FLAGS[rng.range(0, sizeof FLAGS - 1)];
  const uint32_t payload = (flags & (SYN | RST)) ? 0 : static_cast<uint32_t>(rng.range(0, 1448));
  put_tcp(w, t_us, rng.chance(0.5), client, port, 443, static_cast<uint32_t>(rng.next()),
          static_cast<uint32_t>(rng.next()), flags, payload);
}

// ---------------------------------------------------------------- connections

enum Kind : uint8_t {
  NORMAL,      // handshake, (data,) FIN from one side, FIN from the other
  RESET,       // handshake, (data,) RST from one side
  UNANSWERED,  // SYN and its retries, never answered: stays in the table
  LEFT_OPEN,   // handshake only: stays in the table
};

enum Phase : uint8_t { P_SYN, P_SYNACK, P_ACK3, P_DATA, P_CLOSE1, P_ACK_FIN1, P_FIN2, P_ACK_FIN2 };

struct Conn {
  uint32_t client_addr;
  uint16_t client_port;
  uint16_t server_port;
  Kind kind;
  Phase phase;
  uint8_t retries;  // SYN retransmissions still to send
  uint8_t attempt;  // SYNs sent so far
  bool client_closes;
  uint16_t data_left;
  uint32_t client_isn;
  uint32_t cseq, sseq;  // next sequence number of each side
  uint32_t rtt_us;
  uint64_t close_at_us;  // when the closing FIN or RST goes out; 0 = shortly after the data
};

struct Event {
  uint64_t t_us;
  uint32_t conn;
  bool operator>(const Event& o) const { return t_us > o.t_us; }
};

struct Mix {
  double reset, unanswered, left_open, retried;  // the rest are NORMAL
};

struct Config {
  uint64_t connections;
  uint64_t arrival_span_us;  // arrivals spread evenly (at random) over this time
  Mix mix;
  bool data;        // data segments between handshake and close
  bool plain_acks;  // pure ACKs completing the handshake and the closes
  double other;     // chance of a filtered-out packet after each connection packet
  // The close: after the handshake by a hold drawn from [hold_min, hold_max], or, when
  // close_window_us is non-zero, at a time drawn from [close_from, close_from + window]
  // after the last arrival.
  uint64_t hold_min_us, hold_max_us;
  uint64_t close_window_us;
  uint64_t exact_left_open;  // scale: exactly this many LEFT_OPEN, the rest NORMAL
  uint64_t ports = 1;        // server ports from SERVER_PORT on, connection n on n % ports
};

// The endpoint of connection n: n is scrambled by a multiplication modulo M, a
// bijection since the factor is prime to M, over 2^24 addresses in 10/8 and 64 000
// ports from 1024. Endpoints never repeat and arrive in no useful order.
void endpoint(uint64_t n, uint32_t* addr, uint16_t* port) {
  const unsigned __int128 M = static_cast<unsigned __int128>(1) << 24;
  const unsigned __int128 space = M * 64000;
  const uint64_t y =
      static_cast<uint64_t>((static_cast<unsigned __int128>(n) * 2654435761u) % space);
  *addr = 0x0a000000 | static_cast<uint32_t>(y / 64000);
  *port = static_cast<uint16_t>(1024 + y % 64000);
}

struct Expect {
  uint64_t peak_open = 0, open = 0;
  uint64_t completed = 0, resets = 0, syns = 0, dup_syns = 0, unanswered = 0, left_open = 0;
  uint64_t unanswered_syns = 0;
};

class Generator {
 public:
  Generator(const Config& cfg, uint64_t seed, PcapWriter& w) : cfg_(cfg), w_(w) {
    rng_.s = seed;
    conn_rng_.s = seed ^ 0x5eed5eed5eedULL;
  }

  void run() {
    const uint64_t base = 1700000000ULL * 1000000;
    const double gap =
        static_cast<double>(cfg_.arrival_span_us) / static_cast<double>(cfg_.connections);
    double next_arrival = static_cast<double>(base);
    last_arrival_ = base + cfg_.arrival_span_us;
    uint64_t arrived = 0;
    uint64_t open_left = cfg_.exact_left_open;
    while (arrived < cfg_.connections || !events_.empty()) {
      const uint64_t ta = static_cast<uint64_t>(next_arrival);
      if (arrived < cfg_.connections && (events_.empty() || ta <= events_.top().t_us)) {
        const uint32_t idx = new_conn(arrived, open_left);
        arrived++;
        // Exponential gaps: a Poisson stream of arrivals.
        next_arrival += -gap * std::log1p(-rng_.unit() * 0.999999);
        step(idx, ta);
        continue;
      }
      const Event e = events_.top();
      events_.pop();
      step(e.conn, e.t_us);
    }
  }

  Expect expect;

 private:
  uint32_t new_conn(uint64_t n, uint64_t& open_left) {
    uint32_t idx;
    if (!free_.empty()) {
      idx = free_.back();
      free_.pop_back();
    } else {
      idx = static_cast<uint32_t>(conns_.size());
      conns_.emplace_back();
    }
    Conn& c = conns_[idx];
    std::memset(&c, 0, sizeof c);
    endpoint(n, &c.client_addr, &c.client_port);
    c.server_port = static_cast<uint16_t>(SERVER_PORT + n % cfg_.ports);
    Rng& r = conn_rng_;
    if (cfg_.exact_left_open != 0) {
      // Exactly the asked number left open, spread at random over the stream.
      const uint64_t remaining = cfg_.connections - n;
      c.kind = r.range(1, remaining) <= open_left ? LEFT_OPEN : NORMAL;
      if (c.kind == LEFT_OPEN) open_left--;
    } else {
      const double u = r.unit();
      const Mix& m = cfg_.mix;
      c.kind = u < m.reset                                ? RESET
               : u < m.reset + m.unanswered               ? UNANSWERED
               : u < m.reset + m.unanswered + m.left_open ? LEFT_OPEN
                                                          : NORMAL;
    }
    c.retries = c.kind == UNANSWERED         ? 2
                : r.chance(cfg_.mix.retried) ? static_cast<uint8_t>(r.range(1, 2))
                                             : 0;
    c.client_closes = r.chance(0.5);
    c.client_isn = static_cast<uint32_t>(r.next());
    c.sseq = static_cast<uint32_t>(r.next());  // the server's ISN until the SYN-ACK
    c.rtt_us = static_cast<uint32_t>(r.range(2000, 80000));
    c.data_left = cfg_.data ? static_cast<uint16_t>(r.range(8, 28)) : 0;
    if (cfg_.data && c.kind == RESET) c.data_left = static_cast<uint16_t>(r.range(0, 6));
    if (cfg_.close_window_us != 0) {
      c.close_at_us = last_arrival_ + 1000000 + r.range(0, cfg_.close_window_us);
    }
    c.phase = P_SYN;
    return idx;
  }

  void later(uint32_t idx, uint64_t t_us) { events_.push(Event{t_us, idx}); }

  void done(uint32_t idx) { free_.push_back(idx); }

  void emit(Conn& c, uint64_t t, bool from_client, uint8_t flags, uint32_t payload) {
    const uint32_t seq = from_client ? c.cseq : c.sseq;
    const uint32_t ack = from_client ? c.sseq : c.cseq;
    put_tcp(w_, t, from_client, c.client_addr, c.client_port, c.server_port, seq, ack, flags,
            payload);
    if (cfg_.other > 0 && rng_.chance(cfg_.other)) put_other(w_, rng_, t);
  }

  void close_soon(uint32_t idx, Conn& c, uint64_t t) {
    c.phase = P_CLOSE1;
    if (c.close_at_us != 0)
      later(idx, std::max(c.close_at_us, t + 1));
    else if (cfg_.hold_max_us != 0)
      later(idx, t + conn_rng_.range(cfg_.hold_min_us, cfg_.hold_max_us));
    else
      later(idx, t + conn_rng_.range(200, 20000));
  }

  void after_handshake(uint32_t idx, Conn& c, uint64_t t) {
    if (c.kind == LEFT_OPEN) {
      expect.left_open++;
      return done(idx);
    }
    if (c.data_left != 0) {
      c.phase = P_DATA;
      return later(idx, t + conn_rng_.range(100, 20000));
    }
    close_soon(idx, c, t);
  }

  void step(uint32_t idx, uint64_t t) {
    Conn& c = conns_[idx];
    Rng& r = conn_rng_;
    switch (c.phase) {
      case P_SYN:
        c.cseq = c.client_isn;
        emit(c, t, true, SYN, 0);
        expect.syns++;
        if (c.attempt++ == 0) {
          expect.open++;
          expect.peak_open = std::max(expect.peak_open, expect.open);
        } else {
          expect.dup_syns++;
        }
        if (c.retries != 0) {
          c.retries--;
          // Retransmission after 1 s, then 2 s: the usual backoff.
          return later(idx, t + (1000000ULL << (c.attempt - 1)));
        }
        if (c.kind == UNANSWERED) {
          expect.unanswered++;
          expect.unanswered_syns += c.attempt;
          return done(idx);
        }
        c.phase = P_SYNACK;
        return later(idx, t + c.rtt_us);
      case P_SYNACK:
        c.cseq = c.client_isn + 1;
        emit(c, t, false, SYN | ACK, 0);
        c.sseq++;
        if (cfg_.plain_acks) {
          c.phase = P_ACK3;
          return later(idx, t + r.range(50, 2000));
        }
        return after_handshake(idx, c, t);
      case P_ACK3:
        emit(c, t, true, ACK, 0);
        return after_handshake(idx, c, t);
      case P_DATA: {
        // Requests from the client, full-sized responses from the server, and the
        // client's pure ACKs.
        const double u = r.unit();
        if (u < 0.2) {
          const uint32_t n = static_cast<uint32_t>(r.range(100, 600));
          emit(c, t, true, ACK | PSH, n);
          c.cseq += n;
        } else if (u < 0.75) {
          const uint32_t n = r.chance(0.8) ? 1448 : static_cast<uint32_t>(r.range(1, 1447));
          emit(c, t, false, ACK, n);
          c.sseq += n;
        } else {
          emit(c, t, true, ACK, 0);
        }
        if (--c.data_left != 0) return later(idx, t + r.range(100, 20000));
        return close_soon(idx, c, t);
      }
      case P_CLOSE1:
        if (c.kind == RESET) {
          emit(c, t, c.client_closes, RST | ACK, 0);
          expect.resets++;
          expect.open--;
          return done(idx);
        }
        emit(c, t, c.client_closes, FIN | ACK, 0);
        (c.client_closes ? c.cseq : c.sseq)++;
        expect.completed++;
        c.phase = cfg_.plain_acks ? P_ACK_FIN1 : P_FIN2;
        return later(idx, t + r.range(100, 40000));
      case P_ACK_FIN1:
        emit(c, t, !c.client_closes, ACK, 0);
        c.phase = P_FIN2;
        return later(idx, t + r.range(50, 5000));
      case P_FIN2:
        emit(c, t, !c.client_closes, FIN | ACK, 0);
        (c.client_closes ? c.sseq : c.cseq)++;
        expect.open--;
        if (cfg_.plain_acks) {
          c.phase = P_ACK_FIN2;
          return later(idx, t + r.range(50, 5000));
        }
        return done(idx);
      case P_ACK_FIN2:
        emit(c, t, c.client_closes, ACK, 0);
        return done(idx);
    }
  }

  Config cfg_;
  PcapWriter& w_;
  Rng rng_;       // the packets the filter rejects
  Rng conn_rng_;  // connection shapes
  uint64_t last_arrival_ = 0;
  std::vector<Conn> conns_;
  std::vector<uint32_t> free_;
  std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events_;
};

[[noreturn]] void usage() {
  std::fputs(
      "usage: gen_capture --workload mixed|handshake|open-peak|ipv6-vlan|scale --out FILE\n"
      "                   [--seed N] [--connections N] [--open N] [--completed N] [--snaplen N]\n"
      "                   [--ports N]\n",
      stderr);
  std::exit(2);
}

uint64_t number(const char* text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') usage();
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  std::string workload, out;
  uint64_t seed = 1, connections = 0, open = 0, completed = 0, snaplen = 0, ports = 1;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (i + 1 >= argc) usage();
    const char* v = argv[++i];
    if (a == "--workload")
      workload = v;
    else if (a == "--out")
      out = v;
    else if (a == "--seed")
      seed = number(v);
    else if (a == "--connections")
      connections = number(v);
    else if (a == "--open")
      open = number(v);
    else if (a == "--completed")
      completed = number(v);
    else if (a == "--snaplen")
      snaplen = number(v);
    else if (a == "--ports")
      ports = number(v);
    else
      usage();
  }
  if (out.empty() || ports == 0 || ports > 1000) usage();

  Config cfg{};
  if (workload == "mixed") {
    // About 5 million packets, most of them data segments the filter rejects, on
    // 200 000 connections arriving over ten minutes.
    cfg.connections = 200000;
    cfg.arrival_span_us = 600ULL * 1000000;
    cfg.mix = Mix{0.04, 0.03, 0.0, 0.04};
    cfg.data = true;
    cfg.plain_acks = true;
    cfg.other = 0.05;
  } else if (workload == "handshake") {
    // Only SYN, SYN-ACK, FIN and RST: every packet passes the filter. A million
    // connections held open up to a minute each keep about 300 000 in the table.
    cfg.connections = 1000000;
    cfg.arrival_span_us = 100ULL * 1000000;
    cfg.mix = Mix{0.04, 0.02, 0.0, 0.03};
    cfg.hold_min_us = 1000;
    cfg.hold_max_us = 54ULL * 1000000;
  } else if (workload == "open-peak" || workload == "ipv6-vlan") {
    // Two million connections opened before any closes; most close afterwards. The
    // same over IPv6 behind a VLAN tag, every client on an address of its own (as
    // nearly as the IPv4 endpoints allow): the address pool at its largest.
    cfg.connections = 2000000;
    cfg.arrival_span_us = 200ULL * 1000000;
    cfg.mix = Mix{0.04, 0.01, 0.04, 0.01};
    cfg.close_window_us = 200ULL * 1000000;
    g_ipv6_vlan = workload == "ipv6-vlan";
  } else if (workload == "scale") {
    // A given number left open at the end and a given number completed, the
    // completed ones lasting up to two seconds.
    if (open + completed == 0) usage();
    cfg.connections = open + completed;
    cfg.arrival_span_us = std::max<uint64_t>(1, cfg.connections / 20000) * 1000000;
    cfg.hold_min_us = 1000;
    cfg.hold_max_us = 2000000;
    cfg.exact_left_open = open;
  } else {
    usage();
  }
  if (connections != 0 && workload != "scale") cfg.connections = connections;
  cfg.ports = ports;
  if (workload == "scale" && open == 0) cfg.exact_left_open = 0;

  PcapWriter w(out.c_str(), static_cast<uint32_t>(snaplen));
  Generator g(cfg, seed, w);
  g.run();
  w.close();
  const Expect& e = g.expect;
  std::printf(
      "packets=%llu bytes=%llu connections=%llu peak_open=%llu completed=%llu resets=%llu "
      "syns=%llu dup_syns=%llu unanswered=%llu unanswered_syns=%llu left_open=%llu\n",
      static_cast<unsigned long long>(w.packets), static_cast<unsigned long long>(w.bytes),
      static_cast<unsigned long long>(cfg.connections),
      static_cast<unsigned long long>(e.peak_open), static_cast<unsigned long long>(e.completed),
      static_cast<unsigned long long>(e.resets), static_cast<unsigned long long>(e.syns),
      static_cast<unsigned long long>(e.dup_syns), static_cast<unsigned long long>(e.unanswered),
      static_cast<unsigned long long>(e.unanswered_syns),
      static_cast<unsigned long long>(e.left_open));
  return 0;
}
