// traffic_driver: produces a known, repeatable mix of real TCP connections on
// loopback so that portsift can be checked against traffic whose every
// handshake, byte count and close is known in advance. It records the bundled
// example capture, feeds the live end-to-end tests and loads a live capture in
// the benchmark (bench/live_load.sh).
//
// Server: 127.0.0.1:<port>. Clients: bound to 127.0.0.2, so a capture filter on
// the two addresses sees this traffic and nothing else. With --ipv6 both are ::1,
// the one IPv6 loopback address, and with --same-address both are 127.0.0.1:
// client and server then differ only by port.
//
// With one thread (the default) connections run strictly one after another and
// each waits for the server side to finish, so the order on the wire is the
// order listed in --help. With --threads N, N clients each run their share that
// way, side by side, and N server threads answer them: the server learns which
// connection it accepted from the client's port, which the client files as soon
// as connect() returns.
//
// Build: g++ -std=c++17 -Wall -Wextra -O2 -pthread traffic_driver.cc

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Long enough for the slowest deliberate server delay, short enough that a
// broken run fails quickly instead of hanging a test.
constexpr int kIoTimeoutMs = 5000;
// How often a server thread waiting for a connection looks whether the run was
// given up.
constexpr int kAcceptSliceMs = 100;

// --varied tables. Their lengths differ (5, 6, 7) so that request size,
// response size, delay and close order do not repeat in lock step.
constexpr size_t kVariedRequest[] = {0, 10, 100, 1000, 5000};
constexpr size_t kVariedResponse[] = {0, 200, 3000, 20000, 60000, 1500};
constexpr int kVariedDelayMs[] = {0, 0, 40, 0, 150, 0, 300};

const char kHelp[] =
    "usage: traffic_driver [options]\n"
    "Makes real TCP connections from 127.0.0.2 to a server on 127.0.0.1.\n"
    "  --ipv6              from ::1 to a server on ::1 instead\n"
    "  --same-address      from 127.0.0.1 to the server on 127.0.0.1 instead\n"
    "  --port P            server port; 0 picks a free one (default 0)\n"
    "  --completed N       N completed connections (default 0)\n"
    "  --client-bytes K    each completed client sends exactly K bytes (default 0)\n"
    "  --server-bytes M    then the server answers exactly M bytes (default 0)\n"
    "  --varied            completed connection i instead sends\n"
    "                      {0,10,100,1000,5000}[i%5] bytes and gets\n"
    "                      {0,200,3000,20000,60000,1500}[i%6] bytes back, the\n"
    "                      server waiting {0,0,40,0,150,0,300}[i%7] ms to answer\n"
    "  --resets R          R connections the client aborts (RST) after the\n"
    "                      handshake and B bytes of data (default 0)\n"
    "  --reset-bytes B     bytes sent before each abort (default 16)\n"
    "  --refused F         F attempts to the server's address on port Q, where\n"
    "                      nothing listens; the kernel answers each SYN with\n"
    "                      RST (default 0)\n"
    "  --refused-port Q    port for --refused; 0 finds a free one (default 0)\n"
    "  --start-delay-ms D  wait D ms after printing the ports (default 0)\n"
    "  --go-on-stdin       then wait for a line on stdin before any traffic (at\n"
    "                      most 30 s; end of input or no line in time: exit 1)\n"
    "  --gap-ms G          wait G ms between connections (default 0)\n"
    "  --hold-ms H         keep listening H ms after DONE (default 0)\n"
    "  --threads T         T clients side by side, each with its own share of\n"
    "                      the connections (i%T), and T server threads (default 1)\n"
    "  --rate C            start at most C connections (and attempts) a second\n"
    "                      in all; 0: as fast as they go (default 0)\n"
    "  --duration-ms D     repeat the whole sequence until D ms have passed since\n"
    "                      the first connection, then finish the ones started;\n"
    "                      DONE then counts what was made (default 0: once)\n"
    "  --stats             after DONE, print 'STATS seconds=S rate=C\n"
    "                      syn_retransmits=K': the time from the first connection\n"
    "                      to the end of the last, connections and attempts per\n"
    "                      second, and the SYNs the clients' kernel sent again\n"
    "Order: completed 0..N-1, then resets, then refused attempts. Even completed\n"
    "i close client-first (client reads the whole answer and sends FIN; server\n"
    "sends FIN on EOF); odd i close server-first (server sends FIN right after\n"
    "its answer; client sends FIN on EOF). One FIN per side, no RST. With\n"
    "--threads T, client t makes items t, t+T, t+2T... of that sequence in that\n"
    "order; the clients' orders interleave on the wire.\n"
    "stdout: 'PORT <p>' and 'REFUSED_PORT <q>', flushed before any traffic;\n"
    "'DONE completed=N resets=R refused=F' when all traffic is finished (before\n"
    "--hold-ms). Exit 0 only if everything went as described, else 1 (2: usage).\n";

struct Options {
  unsigned long port = 0, refused_port = 0;
  unsigned long completed = 0, client_bytes = 0, server_bytes = 0;
  unsigned long resets = 0, reset_bytes = 16, refused = 0;
  unsigned long start_delay_ms = 0, gap_ms = 0, hold_ms = 0;
  unsigned long threads = 1, rate = 0, duration_ms = 0;
  bool varied = false;
  bool go_on_stdin = false;
  bool stats = false;
  bool ipv6 = false;
  bool same_address = false;
};

// What one connection to the server is meant to look like; shared by the
// client and server threads so both sides agree without talking.
struct Plan {
  bool reset = false;
  size_t request = 0, response = 0;
  int delay_ms = 0;
  bool client_closes_first = false;
};

[[noreturn]] void usage_error(const std::string& msg) {
  std::fprintf(stderr, "traffic_driver: %s (see --help)\n", msg.c_str());
  std::exit(2);
}

unsigned long parse_number(const char* opt, const char* text, unsigned long max) {
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max)
    usage_error(std::string(opt) + " needs a number from 0 to " + std::to_string(max));
  return v;
}

Options parse_options(int argc, char** argv) {
  Options o;
  struct Numeric {
    const char* name;
    unsigned long* field;
    unsigned long max;
  };
  const Numeric numeric[] = {
      {"--port", &o.port, 65535},
      {"--refused-port", &o.refused_port, 65535},
      {"--completed", &o.completed, 10000000},
      {"--client-bytes", &o.client_bytes, 1ul << 26},
      {"--server-bytes", &o.server_bytes, 1ul << 26},
      {"--resets", &o.resets, 10000000},
      {"--reset-bytes", &o.reset_bytes, 65536},
      {"--refused", &o.refused, 10000000},
      {"--start-delay-ms", &o.start_delay_ms, 600000},
      {"--gap-ms", &o.gap_ms, 60000},
      {"--hold-ms", &o.hold_ms, 600000},
      {"--threads", &o.threads, 64},
      {"--rate", &o.rate, 10000000},
      {"--duration-ms", &o.duration_ms, 3600000},
  };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kHelp, stdout);
      std::exit(0);
    }
    if (arg == "--varied") {
      o.varied = true;
      continue;
    }
    if (arg == "--go-on-stdin") {
      o.go_on_stdin = true;
      continue;
    }
    if (arg == "--stats") {
      o.stats = true;
      continue;
    }
    if (arg == "--ipv6") {
      o.ipv6 = true;
      continue;
    }
    if (arg == "--same-address") {
      o.same_address = true;
      continue;
    }
    bool known = false;
    for (const Numeric& n : numeric) {
      if (arg != n.name) continue;
      if (i + 1 >= argc) usage_error(arg + " needs a value");
      *n.field = parse_number(n.name, argv[++i], n.max);
      known = true;
    }
    if (!known) usage_error("unknown option " + arg);
  }
  if (o.threads == 0) usage_error("--threads needs a number from 1 to 64");
  if (o.duration_ms > 0 && o.completed + o.resets + o.refused == 0)
    usage_error("--duration-ms needs connections or attempts to repeat");
  return o;
}

// Connection i of the run: completed ones first, then resets. Worked out when
// needed, so a load run of millions of connections keeps no list of them.
Plan plan_for(const Options& o, size_t i) {
  Plan p;
  if (i >= o.completed) {
    p.reset = true;
    p.request = o.reset_bytes;
    return p;
  }
  p.request = o.varied ? kVariedRequest[i % std::size(kVariedRequest)] : o.client_bytes;
  p.response = o.varied ? kVariedResponse[i % std::size(kVariedResponse)] : o.server_bytes;
  p.delay_ms = o.varied ? kVariedDelayMs[i % std::size(kVariedDelayMs)] : 0;
  p.client_closes_first = (i % 2 == 0);
  return p;
}

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      close();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  ~Fd() { close(); }
  int get() const { return fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Ties one client to the server threads: the client must not abort a reset
// connection before the server has read its bytes, and must not start its next
// connection before the server is done with the previous one.
class Progress {
 public:
  void mark_ready() { bump(ready_); }
  void mark_finished() { bump(finished_); }
  void fail(const std::string& why) {
    std::lock_guard<std::mutex> l(m_);
    if (error_.empty()) error_ = why;
    cv_.notify_all();
  }
  std::string error() {
    std::lock_guard<std::mutex> l(m_);
    return error_;
  }
  void wait_ready(size_t n, const char* what) { wait(ready_, n, what); }
  void wait_finished(size_t n, const char* what) { wait(finished_, n, what); }

 private:
  void bump(size_t& counter) {
    std::lock_guard<std::mutex> l(m_);
    ++counter;
    cv_.notify_all();
  }
  void wait(const size_t& counter, size_t n, const char* what) {
    std::unique_lock<std::mutex> l(m_);
    bool ok = cv_.wait_for(l, std::chrono::milliseconds(kIoTimeoutMs),
                           [&] { return counter >= n || !error_.empty(); });
    if (!error_.empty()) throw std::runtime_error(error_);
    if (!ok) throw std::runtime_error(std::string("timed out waiting for server: ") + what);
  }
  std::mutex m_;
  std::condition_variable cv_;
  size_t ready_ = 0, finished_ = 0;
  std::string error_;
};

// What the server threads need to answer a connection: its plan and the client
// waiting on it.
struct Claim {
  Plan plan;
  Progress* progress = nullptr;
};

// What the clients and server threads of one run share. A client files each
// connection under its own port once connect() returns; the server thread that
// accepted it (maybe a moment earlier) takes it from there. A port is filed once
// at a time: two open connections to the same server never share a client port.
class Run {
 public:
  explicit Run(size_t clients) : progress_(clients) {}
  Progress& progress(size_t client) { return progress_[client]; }

  void file(uint16_t client_port, const Claim& claim) {
    std::lock_guard<std::mutex> l(m_);
    filed_[client_port] = claim;
    cv_.notify_all();
  }
  Claim take(uint16_t client_port) {
    std::unique_lock<std::mutex> l(m_);
    auto it = filed_.end();
    const bool found = cv_.wait_for(l, std::chrono::milliseconds(kIoTimeoutMs), [&] {
      it = filed_.find(client_port);
      return it != filed_.end() || stopped();
    });
    if (stopped()) throw std::runtime_error("stopped");
    if (!found)
      throw std::runtime_error("no client owned up to port " + std::to_string(client_port));
    const Claim claim = it->second;
    filed_.erase(it);
    return claim;
  }

  // A client gave up, or a server failed where no client could be told: the
  // others stop waiting as well, and the run ends with the first reason.
  void fail(const std::string& why) {
    {
      std::lock_guard<std::mutex> l(m_);
      if (error_.empty()) error_ = why;
      stop_ = true;
      cv_.notify_all();
    }
    for (Progress& p : progress_) p.fail("stopped");
  }
  bool stopped() const { return stop_; }
  std::string error() {
    std::lock_guard<std::mutex> l(m_);
    return error_;
  }

  // Server threads take a connection to answer before waiting for it, so that
  // exactly as many are accepted as the clients make. A run of a set duration
  // does not know how many: its server threads wait until the clients are done.
  bool claim_next(size_t total) { return next_.fetch_add(1) < total; }
  void clients_done() { clients_done_ = true; }
  bool clients_are_done() const { return clients_done_; }

 private:
  std::vector<Progress> progress_;
  std::mutex m_;
  std::condition_variable cv_;
  std::map<uint16_t, Claim> filed_;
  std::string error_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> clients_done_{false};
  std::atomic<size_t> next_{0};
};

// The loopback addresses of the traffic, by family.
struct Family {
  int domain;
  const char* server;
  const char* client;
};
constexpr Family kIpv4{AF_INET, "127.0.0.1", "127.0.0.2"};
constexpr Family kIpv6{AF_INET6, "::1", "::1"};
constexpr Family kIpv4SameAddress{AF_INET, "127.0.0.1", "127.0.0.1"};
Family g_family = kIpv4;

// An address of the traffic's family, and its length for bind() and connect().
struct SockAddr {
  sockaddr_storage storage{};
  socklen_t len = sizeof storage;
  sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
  uint16_t port() const {
    return ntohs(storage.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port
                     : reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
  }
};

SockAddr loopback(const char* ip, unsigned long port) {
  SockAddr a;
  if (g_family.domain == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&a.storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &in->sin_addr);
    a.len = sizeof(sockaddr_in);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, ip, &in6->sin6_addr);
    a.len = sizeof(sockaddr_in6);
  }
  return a;
}

void set_timeouts(int fd) {
  timeval tv{kIoTimeoutMs / 1000, (kIoTimeoutMs % 1000) * 1000};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
    fail("setsockopt timeouts");
}

// A socket bound to the server's address and `port`, listening if asked (backlog >
// 0), or an empty Fd with errno set. SO_REUSEADDR lets re-runs bind over TIME_WAIT
// left by the previous run; without it no other program can bind the port while the
// socket holds it.
Fd try_bind(unsigned long port, int backlog, bool reuse) {
  Fd s(socket(g_family.domain, SOCK_STREAM, 0));
  if (s.get() < 0) fail("socket");
  int one = 1;
  if (reuse) setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  SockAddr a = loopback(g_family.server, port);
  if (bind(s.get(), a.get(), a.len) != 0) return Fd();
  if (backlog > 0 && listen(s.get(), backlog) != 0) return Fd();
  return s;
}

// The first port the kernel gives to clients that name none
// (net.ipv4.ip_local_port_range), or 0 when it cannot be read.
unsigned long client_ports_start() {
  FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r");
  if (f == nullptr) return 0;
  unsigned long low = 0, high = 0;
  if (std::fscanf(f, "%lu %lu", &low, &high) != 2) low = 0;
  std::fclose(f);
  return low;
}

// Binds the server's address on `port`, or on a free one when it is 0, and listens
// if asked (backlog > 0). A free port is taken from the ports just below the clients' range:
// other live runs on this machine make thousands of connections from ports of that
// range, and one of their clients on this run's port would be this port's traffic
// to every capture of it. Below the range only a program that names its port goes.
Fd bound_server_socket(unsigned long port, int backlog, unsigned long* chosen, bool reuse = true) {
  constexpr unsigned long kBand = 8192, kTries = 64;
  Fd s;
  const unsigned long start = port == 0 ? client_ports_start() : 0;
  if (start >= 1024 + kBand) {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<unsigned long> pick(start - kBand, start - 1);
    for (unsigned long i = 0; i < kTries && s.get() < 0; ++i)
      s = try_bind(pick(random), backlog, reuse);
  }
  if (s.get() < 0) s = try_bind(port, backlog, reuse);
  if (s.get() < 0) fail(std::string("bind ") + g_family.server + " port " + std::to_string(port));
  SockAddr a;
  if (getsockname(s.get(), a.get(), &a.len) != 0) fail("getsockname");
  *chosen = a.port();
  return s;
}

// Returns a client socket bound to the client address and connected (or refused:
// then *refused is set and the socket is returned unconnected).
Fd connect_client(unsigned long port, bool* refused = nullptr) {
  Fd s(socket(g_family.domain, SOCK_STREAM, 0));
  if (s.get() < 0) fail("socket");
#ifdef IP_BIND_ADDRESS_NO_PORT
  // Let connect() pick the source port so large runs do not exhaust ports
  // that are still in TIME_WAIT towards this same server.
  int one = 1;
  setsockopt(s.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
#endif
  set_timeouts(s.get());
  SockAddr src = loopback(g_family.client, 0);
  if (bind(s.get(), src.get(), src.len) != 0) fail(std::string("bind ") + g_family.client);
  SockAddr dst = loopback(g_family.server, port);
  if (connect(s.get(), dst.get(), dst.len) != 0) {
    if (refused && errno == ECONNREFUSED) {
      *refused = true;
      return s;
    }
    fail(std::string("connect ") + g_family.server + " port " + std::to_string(port));
  }
  return s;
}

void send_exact(int fd, size_t n) {
  static const std::vector<char> chunk(16384, 'x');
  while (n > 0) {
    ssize_t w = send(fd, chunk.data(), std::min(n, chunk.size()), MSG_NOSIGNAL);
    if (w <= 0) fail("send");
    n -= static_cast<size_t>(w);
  }
}

void recv_exact(int fd, size_t n) {
  char buf[16384];
  while (n > 0) {
    ssize_t r = recv(fd, buf, std::min(n, sizeof buf), 0);
    if (r == 0) throw std::runtime_error("peer closed " + std::to_string(n) + " bytes early");
    if (r < 0) fail("recv");
    n -= static_cast<size_t>(r);
  }
}

// Reading up to the peer's FIN before closing matters: closing with unread
// data makes Linux send RST instead of FIN.
void expect_eof(int fd) {
  char c;
  ssize_t r = recv(fd, &c, 1, 0);
  if (r > 0) throw std::runtime_error("unexpected extra data before FIN");
  if (r < 0) fail("recv waiting for FIN");
}

void expect_reset(int fd) {
  char c;
  ssize_t r = recv(fd, &c, 1, 0);
  if (r < 0 && errno == ECONNRESET) return;
  if (r < 0) fail("recv waiting for RST");
  throw std::runtime_error(r == 0 ? "got FIN where RST was expected"
                                  : "unexpected data before RST");
}

// The listener wakes one waiting thread per connection (SO_RCVTIMEO bounds the
// wait), so several server threads can wait on it; between slices the thread
// looks whether the run was given up, or is over (an empty Fd). It waits as long
// as the clients take: a client whose connection never arrives gives up on its
// own and stops the run.
Fd accept_one(int listener, Run& run) {
  for (;;) {
    if (run.stopped()) throw std::runtime_error("stopped");
    if (run.clients_are_done()) return Fd();
    Fd c(accept(listener, nullptr, nullptr));
    if (c.get() < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      fail("accept");
    }
    set_timeouts(c.get());
    return c;
  }
}

uint16_t peer_port(int fd) {
  SockAddr a;
  if (getpeername(fd, a.get(), &a.len) != 0) fail("getpeername");
  return a.port();
}

uint16_t local_port(int fd) {
  SockAddr a;
  if (getsockname(fd, a.get(), &a.len) != 0) fail("getsockname");
  return a.port();
}

void answer(int fd, const Plan& p, Progress& progress) {
  recv_exact(fd, p.request);
  progress.mark_ready();
  if (p.reset) {
    expect_reset(fd);
  } else {
    if (p.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(p.delay_ms));
    send_exact(fd, p.response);
    if (!p.client_closes_first && shutdown(fd, SHUT_WR) != 0) fail("shutdown");
    expect_eof(fd);
  }
}

void serve(int listener, size_t total, Run& run) {
  while (run.claim_next(total)) {
    Claim claim;
    try {
      Fd c = accept_one(listener, run);
      if (c.get() < 0) return;
      claim = run.take(peer_port(c.get()));
      answer(c.get(), claim.plan, *claim.progress);
      c.close();  // client-first: this is the server's FIN
      claim.progress->mark_finished();
    } catch (const std::exception& e) {
      // A client that is waiting for this connection hears why; without one, every
      // client must, or the run would hang until their timeouts.
      if (claim.progress != nullptr)
        claim.progress->fail(std::string("server: ") + e.what());
      else
        run.fail(std::string("server: ") + e.what());
      return;
    }
  }
}

// SYNs the kernel sent again before the handshake completed: each shows on the
// wire, and in portsift's count of SYNs, as a duplicate.
unsigned syn_retransmits(int fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) fail("TCP_INFO");
  return info.tcpi_total_retrans;
}

// What one client made.
struct Made {
  unsigned long completed = 0, resets = 0, refused = 0;
  unsigned long syn_retransmits = 0;
};

// Client `client` of `clients`: items client, client + clients, ... of the
// sequence (completed connections, resets, refused attempts), once or, with a
// --duration-ms, round and round until the time is up. With a --rate, item i
// starts no sooner than i / rate seconds after `start`.
void run_client(const Options& o, size_t client, size_t clients, Run& run, unsigned long port,
                unsigned long refused_port, std::chrono::steady_clock::time_point start,
                Made* made) {
  using Clock = std::chrono::steady_clock;
  Progress& progress = run.progress(client);
  const size_t connections = o.completed + o.resets;
  const size_t cycle = connections + o.refused;
  const Clock::time_point end = start + std::chrono::milliseconds(o.duration_ms);
  size_t filed = 0;  // connections of this client, as its progress counts them
  bool first = true;
  try {
    for (size_t i = client; o.duration_ms > 0 || i < cycle; i += clients) {
      if (!first && o.gap_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.gap_ms));
      first = false;
      if (o.rate > 0)
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                        static_cast<double>(i) / static_cast<double>(o.rate))));
      if (o.duration_ms > 0 && Clock::now() >= end) break;
      const size_t k = i % cycle;
      if (k >= connections) {
        bool refused = false;
        Fd s = connect_client(refused_port, &refused);
        if (!refused)
          throw std::runtime_error("refused attempt " + std::to_string(k - connections) +
                                   ": port " + std::to_string(refused_port) +
                                   " accepted the connection");
        made->refused++;
        continue;
      }
      const Plan p = plan_for(o, k);
      const std::string where = (p.reset ? "reset connection " : "completed connection ") +
                                std::to_string(p.reset ? k - o.completed : k);
      try {
        Fd s = connect_client(port);
        if (o.stats) made->syn_retransmits += syn_retransmits(s.get());
        run.file(local_port(s.get()), Claim{p, &progress});
        ++filed;
        send_exact(s.get(), p.request);
        if (p.reset) {
          progress.wait_ready(filed, "reset bytes read");
          linger abort_now{1, 0};  // close() with zero linger sends RST
          if (setsockopt(s.get(), SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now) != 0)
            fail("SO_LINGER");
          s.close();
        } else {
          recv_exact(s.get(), p.response);
          if (p.client_closes_first && shutdown(s.get(), SHUT_WR) != 0) fail("shutdown");
          expect_eof(s.get());
          s.close();  // server-first: this is the client's FIN
        }
        progress.wait_finished(filed, "connection finished");
        (p.reset ? made->resets : made->completed)++;
      } catch (const std::exception& e) {
        throw std::runtime_error(where + ": " + e.what());
      }
    }
  } catch (const std::exception& e) {
    run.fail(e.what());
  }
}

// Lets a test start its capture on the printed port and say when it is ready,
// instead of guessing a start delay.
void wait_for_go() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{0, POLLIN, 0};
    const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) fail("poll stdin");
    if (ready == 0) throw std::runtime_error("no go line on stdin in time");
    char c;
    ssize_t r = read(0, &c, 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) throw std::runtime_error("stdin ended before a go line");
    if (c == '\n') return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const Options o = parse_options(argc, argv);
  if (o.ipv6) g_family = kIpv6;
  if (o.same_address && !o.ipv6) g_family = kIpv4SameAddress;
  try {
    unsigned long port = 0, refused_port = o.refused_port;
    // Every client may have a connection waiting to be accepted.
    const int backlog = static_cast<int>(std::max<unsigned long>(16, 2 * o.threads));
    Fd listener = bound_server_socket(o.port, backlog, &port);
    timeval slice{0, kAcceptSliceMs * 1000};
    if (setsockopt(listener.get(), SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice) != 0)
      fail("setsockopt accept timeout");
    Fd refused_holder;
    if (refused_port == 0) {
      // A port bound but not listening refuses every attempt; held for the whole
      // run (without SO_REUSEADDR), no other program can start listening on it.
      refused_holder = bound_server_socket(0, 0, &refused_port, false);
    }
    if (refused_port == port) usage_error("--refused-port equals the server port");
    std::printf("PORT %lu\nREFUSED_PORT %lu\n", port, refused_port);
    std::fflush(stdout);
    if (o.start_delay_ms > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(o.start_delay_ms));
    if (o.go_on_stdin) wait_for_go();

    const size_t clients = o.threads;
    Run run(clients);
    std::vector<Made> made(clients);
    const size_t connections = o.duration_ms > 0 ? SIZE_MAX : o.completed + o.resets;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> servers, client_threads;
    for (size_t t = 0; t < clients; ++t)
      servers.emplace_back(serve, listener.get(), connections, std::ref(run));
    for (size_t t = 0; t < clients; ++t)
      client_threads.emplace_back(run_client, std::cref(o), t, clients, std::ref(run), port,
                                  refused_port, start, &made[t]);
    for (std::thread& t : client_threads) t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.clients_done();
    for (std::thread& t : servers) t.join();
    if (!run.error().empty()) throw std::runtime_error(run.error());
    for (size_t t = 0; t < clients; ++t)
      if (!run.progress(t).error().empty()) throw std::runtime_error(run.progress(t).error());

    Made all;
    for (const Made& m : made) {
      all.completed += m.completed;
      all.resets += m.resets;
      all.refused += m.refused;
      all.syn_retransmits += m.syn_retransmits;
    }
    std::printf("DONE completed=%lu resets=%lu refused=%lu\n", all.completed, all.resets,
                all.refused);
    if (o.stats) {
      const double attempts = static_cast<double>(all.completed + all.resets + all.refused);
      std::printf("STATS seconds=%.3f rate=%.0f syn_retransmits=%lu\n", seconds,
                  seconds > 0 ? attempts / seconds : 0.0, all.syn_retransmits);
    }
    std::fflush(stdout);
    if (o.hold_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.hold_ms));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "traffic_driver: %s\n", e.what());
    return 1;
  }
  return 0;
}
