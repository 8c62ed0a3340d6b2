// Live test support: programs run side by side (portsift, the traffic driver), the
// sign that portsift's capture is open, and a capture of our own that witnesses what
// crossed the loopback interface.
#pragma once

#include <pcap/pcap.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace live {

using Clock = std::chrono::steady_clock;

// Why the live tests cannot run on this machine, or "" when they can: they need root
// and a capture on lo.
std::string skip_reason();

// Seconds since the epoch, on the clock libpcap stamps packets with.
double wall_now();

// Seconds from `from` to `to`.
double seconds_between(Clock::time_point from, Clock::time_point to);

void sleep_s(double seconds);

struct SpawnOptions {
  bool stdin_pipe = false;
  int stdout_pipe_size = 0;  // > 0: shrink the stdout pipe to this many bytes
  bool own_network = false;  // a fresh network namespace: only a loopback, and it is down
};

// A program started with pipes on its standard output and error (and input, if
// asked), with TZ=UTC and LC_ALL=C like every other test run. One that is given up
// on before finish() (a failed assertion) is killed and reaped.
struct Child {
  Child() = default;
  Child(Child&& other) noexcept { *this = std::move(other); }
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  pid_t pid = -1;
  int in = -1, out = -1, err = -1;  // our ends
  int out_pipe_size = 0;
  Clock::time_point started;
};

Child spawn(const std::vector<std::string>& argv, const SpawnOptions& opts = {});

struct Finished {
  std::string out, err;
  int status = -1;          // exit status, or 128 + signal number
  Clock::time_point ended;  // when its output ended and it was reaped
  double seconds = 0;       // from the start to `ended`
};

// Reads the child's output until it exits; SIGKILL once timeout_s have passed.
Finished finish(Child& child, double timeout_s);

// True while the child has not exited (it may be a zombie: not reaped yet is not
// running).
bool still_running(const Child& child);

// Bytes waiting in the child's stdout pipe.
int pending_output(const Child& child);

// Runs `work` in a forked child, in a fresh network namespace when asked, and
// returns what it returned; nullopt when the child failed (no namespace allowed).
std::optional<std::string> run_in_child(bool own_network, const std::function<std::string()>& work);

// The packet socket of `pid` once libpcap has installed the compiled capture
// filter on it, or nullopt after timeout_s. Where the kernel does not describe
// packet sockets (no packet_diag), the socket's existence plus a short delay stands
// in for the filter.
struct CaptureSocket {
  int ifindex = 0;
  bool filter_seen = false;
};
std::optional<CaptureSocket> wait_capture_open(pid_t pid, double timeout_s);

// One TCP segment as captured: enough to classify it.
struct Segment {
  double time = 0;            // packet timestamp, seconds since the epoch
  int64_t sec = 0, usec = 0;  // the same, exactly
  uint32_t caplen = 0, len = 0;
  uint16_t sport = 0, dport = 0;
  uint32_t seq = 0;
  uint8_t flags = 0;
  std::vector<uint8_t> bytes;  // as captured
};
enum class Kind { SYN, SYN_ACK, FIN, RST, OTHER };
Kind kind_of(const Segment& s);
const char* kind_name(Kind k);

// Decodes an Ethernet (lo on Linux) or DLT_NULL frame carrying TCP over IPv4, or an
// Ethernet one carrying TCP right after the IPv6 header; false for anything else or a
// frame cut short.
bool decode_segment(const uint8_t* data, uint32_t caplen, int dlt, Segment* out);

// Our own capture on lo of the port's SYN, FIN and RST segments, over IPv4 or IPv6,
// delivered at once, running in a thread until stop().
class Witness {
 public:
  explicit Witness(uint16_t port);
  ~Witness();
  Witness(const Witness&) = delete;
  Witness& operator=(const Witness&) = delete;
  // Waits settle_s for segments still on their way, then ends the capture.
  std::vector<Segment> stop(double settle_s = 0.2);

 private:
  static void on_packet(u_char* self, const pcap_pkthdr* h, const u_char* bytes);
  void run();
  pcap_t* pcap_ = nullptr;
  std::atomic<bool> stop_{false};
  std::vector<Segment> seen_;
  std::thread thread_;
};

// The traffic driver (tests/live/traffic_driver.cc), waiting for go() before any
// traffic so that the capture can be opened first.
struct DriverPlan {
  unsigned completed = 0, client_bytes = 0, server_bytes = 0;
  unsigned resets = 0, refused = 0, gap_ms = 0;
  bool ipv6 = false;          // both ends on ::1
  bool same_address = false;  // both ends on 127.0.0.1
  uint16_t port = 0;  // the server's; 0: a free one
};

class Driver {
 public:
  explicit Driver(const DriverPlan& plan);
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;
  uint16_t port() const { return port_; }
  void go();
  // Waits for the traffic to end; "" when the driver did all it was asked, else what
  // it said.
  std::string wait(double timeout_s = 30);

 private:
  Child child_;
  uint16_t port_ = 0;
};

// The number after `label` on the first line that starts with it.
std::optional<double> number_after(const std::string& text, const std::string& label);

// How many lines start with `prefix`.
int count_lines(const std::string& text, const std::string& prefix);

std::vector<std::string> split_lines(const std::string& text);

}  // namespace live
