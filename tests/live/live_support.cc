#include "live/live_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <linux/packet_diag.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "testlib/runner.h"

namespace live {

namespace {

constexpr int SNAPLEN = 256;

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Every pipe is close-on-exec: a pipe end leaking into the other program would
// keep our reader from ever seeing the end of the output.
void make_pipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
}

// Socket inodes the process holds, from the "socket:[N]" links in /proc/PID/fd.
std::set<unsigned long> socket_inodes(pid_t pid) {
  std::set<unsigned long> inodes;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return inodes;
  while (dirent* e = readdir(d)) {
    char target[64];
    const std::string link = dir + "/" + e->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    unsigned long ino;
    if (std::sscanf(target, "socket:[%lu]", &ino) == 1) inodes.insert(ino);
  }
  closedir(d);
  return inodes;
}

struct PacketSocketInfo {
  unsigned long inode = 0;
  int ifindex = 0;
  size_t filter_len = 0;
};

// The kernel's description of every packet socket (NETLINK_SOCK_DIAG): interface
// and installed filter. nullopt when this kernel does not offer it.
std::optional<std::vector<PacketSocketInfo>> packet_sockets() {
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return std::nullopt;
  struct {
    nlmsghdr nlh;
    packet_diag_req req;
  } request{};
  request.nlh.nlmsg_len = sizeof request;
  request.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.req.sdiag_family = AF_PACKET;
  request.req.pdiag_show = PACKET_SHOW_INFO | PACKET_SHOW_FILTER;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) <
      0) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<PacketSocketInfo> found;
  // A dump ends with NLMSG_DONE; a handful of reads covers any sane machine.
  for (int reads = 0; reads < 1000; ++reads) {
    alignas(nlmsghdr) char buf[32768];
    ssize_t len = recv(fd, buf, sizeof buf, 0);
    if (len < 0 && errno == EINTR) continue;
    if (len <= 0) break;
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, static_cast<size_t>(len));
         h = NLMSG_NEXT(h, len)) {
      if (h->nlmsg_type == NLMSG_DONE) {
        ::close(fd);
        return found;
      }
      if (h->nlmsg_type == NLMSG_ERROR) {
        ::close(fd);
        return std::nullopt;
      }
      auto* msg = static_cast<packet_diag_msg*>(NLMSG_DATA(h));
      PacketSocketInfo info;
      info.inode = msg->pdiag_ino;
      int attr_len = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *msg));
      for (auto* a =
               reinterpret_cast<rtattr*>(reinterpret_cast<char*>(msg) + NLMSG_ALIGN(sizeof *msg));
           RTA_OK(a, attr_len); a = RTA_NEXT(a, attr_len)) {
        if (a->rta_type == PACKET_DIAG_INFO)
          info.ifindex = static_cast<int>(static_cast<packet_diag_info*>(RTA_DATA(a))->pdi_index);
        if (a->rta_type == PACKET_DIAG_FILTER)
          info.filter_len = RTA_PAYLOAD(a) / sizeof(sock_filter);
      }
      found.push_back(info);
    }
  }
  ::close(fd);
  return std::nullopt;
}

// The packet sockets of the process's own network namespace, from
// /proc/PID/net/packet: interface index and inode, no filter.
std::vector<PacketSocketInfo> proc_packet_sockets(pid_t pid) {
  std::vector<PacketSocketInfo> found;
  std::ifstream in("/proc/" + std::to_string(pid) + "/net/packet");
  std::string line;
  std::getline(in, line);  // the column names
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string sk, refcnt, type, proto, running, rmem, user;
    PacketSocketInfo info;
    if (fields >> sk >> refcnt >> type >> proto >> info.ifindex >> running >> rmem >> user >>
        info.inode)
      found.push_back(info);
  }
  return found;
}

}  // namespace

std::string skip_reason() {
  if (geteuid() != 0) return "live tests need root: they capture on the loopback interface lo";
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_t* p = pcap_open_live("lo", SNAPLEN, 0, 100, errbuf);
  if (p == nullptr) return std::string("live tests need a capture on lo: ") + errbuf;
  pcap_close(p);
  return "";
}

double wall_now() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

void sleep_s(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

Child& Child::operator=(Child&& other) noexcept {
  std::swap(pid, other.pid);
  std::swap(in, other.in);
  std::swap(out, other.out);
  std::swap(err, other.err);
  std::swap(out_pipe_size, other.out_pipe_size);
  std::swap(started, other.started);
  return *this;
}

Child::~Child() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    finish(*this, 5);
  }
  close_fd(in);
  close_fd(out);
  close_fd(err);
}

Child spawn(const std::vector<std::string>& argv, const SpawnOptions& opts) {
  // Everything the child needs is made here: after fork() it may only make system
  // calls, since another thread (the witness) may hold a lock it would need.
  std::vector<std::string> env_text = {"TZ=UTC", "LC_ALL=C"};
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "TZ=", 3) != 0 && std::strncmp(*e, "LC_ALL=", 7) != 0)
      env_text.push_back(*e);
  std::vector<std::string> arg_text = argv;
  std::vector<char*> args, env;
  for (std::string& a : arg_text) args.push_back(a.data());
  args.push_back(nullptr);
  for (std::string& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  const int last_fd = static_cast<int>(std::min(sysconf(_SC_OPEN_MAX), 65536L));
  static const char kUnshareFailed[] = "unshare(CLONE_NEWNET) failed\n";
  static const char kExecFailed[] = "execve failed\n";

  int in[2] = {-1, -1}, out[2], err[2];
  if (opts.stdin_pipe) make_pipe(in);
  make_pipe(out);
  make_pipe(err);
  Child c;
  if (opts.stdout_pipe_size > 0) {
    c.out_pipe_size = fcntl(out[1], F_SETPIPE_SZ, opts.stdout_pipe_size);
    if (c.out_pipe_size < 0) throw std::runtime_error("F_SETPIPE_SZ");
  }
  c.started = Clock::now();
  c.pid = fork();
  if (c.pid < 0) throw std::runtime_error("fork");
  if (c.pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    dup2(opts.stdin_pipe ? in[0] : devnull, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    // Nothing else of ours goes along: a capture socket of the witness would
    // otherwise live on in the program, and pass for the program's own.
    for (int fd = 3; fd < last_fd; ++fd) ::close(fd);
    if (opts.own_network && unshare(CLONE_NEWNET) != 0) {
      (void)!write(2, kUnshareFailed, sizeof kUnshareFailed - 1);
      _exit(126);
    }
    execve(args[0], args.data(), env.data());
    (void)!write(2, kExecFailed, sizeof kExecFailed - 1);
    _exit(127);
  }
  if (opts.stdin_pipe) {
    ::close(in[0]);
    c.in = in[1];
  }
  ::close(out[1]);
  ::close(err[1]);
  c.out = out[0];
  c.err = err[0];
  return c;
}

Finished finish(Child& child, double timeout_s) {
  Finished f;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(timeout_s));
  bool killed = false;
  close_fd(child.in);
  pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (!killed && Clock::now() >= deadline) {
      kill(child.pid, SIGKILL);
      killed = true;
    }
    if (poll(fds, 2, 10) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? f.out : f.err).append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close_fd(fds[i].fd);
      }
    }
  }
  child.out = child.err = -1;
  int status = 0;
  while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  f.ended = Clock::now();
  f.seconds = seconds_between(child.started, f.ended);
  f.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  child.pid = -1;
  return f;
}

bool still_running(const Child& child) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
    return false;
  return info.si_pid == 0;
}

int pending_output(const Child& child) {
  int n = 0;
  if (ioctl(child.out, FIONREAD, &n) != 0) return -1;
  return n;
}

std::optional<CaptureSocket> wait_capture_open(pid_t pid, double timeout_s) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(timeout_s));
  const std::set<unsigned long> ours = socket_inodes(getpid());
  while (Clock::now() < deadline) {
    std::set<unsigned long> mine = socket_inodes(pid);
    for (unsigned long inode : ours) mine.erase(inode);
    if (auto all = packet_sockets()) {
      // libpcap swaps filters through a one-instruction "drop everything" filter;
      // only the compiled expression means the capture is ready.
      for (const PacketSocketInfo& s : *all)
        if (mine.count(s.inode) != 0 && s.filter_len > 1) return CaptureSocket{s.ifindex, true};
    } else {
      for (const PacketSocketInfo& s : proc_packet_sockets(pid)) {
        if (mine.count(s.inode) == 0) continue;
        // The filter follows the opening within microseconds; no way to see it here.
        sleep_s(0.3);
        return CaptureSocket{s.ifindex, false};
      }
    }
    sleep_s(0.005);
  }
  return std::nullopt;
}

Kind kind_of(const Segment& s) {
  constexpr uint8_t FIN = 0x01, SYN = 0x02, RST = 0x04, ACK = 0x10;
  if (s.flags & RST) return Kind::RST;
  if (s.flags & SYN) return (s.flags & ACK) ? Kind::SYN_ACK : Kind::SYN;
  if (s.flags & FIN) return Kind::FIN;
  return Kind::OTHER;
}

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::SYN:
      return "SYN";
    case Kind::SYN_ACK:
      return "SYN-ACK";
    case Kind::FIN:
      return "FIN";
    case Kind::RST:
      return "RST";
    default:
      return "other";
  }
}

namespace {

// The fields of the TCP header at `tcp`, when its first 14 bytes were captured.
bool tcp_fields(const uint8_t* data, uint32_t caplen, size_t tcp, Segment* out) {
  if (caplen < tcp + 14) return false;
  out->sport = static_cast<uint16_t>(data[tcp] << 8 | data[tcp + 1]);
  out->dport = static_cast<uint16_t>(data[tcp + 2] << 8 | data[tcp + 3]);
  out->seq = static_cast<uint32_t>(data[tcp + 4]) << 24 |
             static_cast<uint32_t>(data[tcp + 5]) << 16 |
             static_cast<uint32_t>(data[tcp + 6]) << 8 | data[tcp + 7];
  out->flags = data[tcp + 13];
  out->caplen = caplen;
  out->bytes.assign(data, data + caplen);
  return true;
}

}  // namespace

bool decode_segment(const uint8_t* data, uint32_t caplen, int dlt, Segment* out) {
  size_t ip;
  if (dlt == DLT_EN10MB && caplen >= 14 + 40 + 14 && data[12] == 0x86 && data[13] == 0xdd) {
    if (data[14 + 6] != 6) return false;
    return tcp_fields(data, caplen, 14 + 40, out);
  }
  if (dlt == DLT_EN10MB) {
    if (caplen < 14 || data[12] != 0x08 || data[13] != 0x00) return false;
    ip = 14;
  } else if (dlt == DLT_NULL) {
    uint32_t family;
    if (caplen < 4) return false;
    std::memcpy(&family, data, 4);
    if (family != 2) return false;
    ip = 4;
  } else {
    return false;
  }
  if (caplen < ip + 20 || (data[ip] >> 4) != 4 || data[ip + 9] != 6) return false;
  return tcp_fields(data, caplen, ip + (data[ip] & 0x0f) * 4u, out);
}

Witness::Witness(uint16_t port) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_ = pcap_create("lo", errbuf);
  if (pcap_ == nullptr) throw std::runtime_error(std::string("witness: ") + errbuf);
  pcap_set_snaplen(pcap_, SNAPLEN);
  pcap_set_immediate_mode(pcap_, 1);
  pcap_set_timeout(pcap_, 100);
  auto fail = [this](const std::string& what) {
    const std::string text = "witness: " + what + ": " + pcap_geterr(pcap_);
    pcap_close(pcap_);
    pcap_ = nullptr;
    throw std::runtime_error(text);
  };
  if (pcap_activate(pcap_) < 0) fail("activate");
  // libpcap's tcp[] reads IPv4 only: over IPv6 (on lo, TCP right after the fixed
  // header) the flags are byte 53.
  const std::string expr = "tcp port " + std::to_string(port) +
                           " and ((ip and (tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0) or "
                           "(ip6 and (ip6[53] & 0x07) != 0))";
  bpf_program prog;
  if (pcap_compile(pcap_, &prog, expr.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) fail("filter");
  const int set = pcap_setfilter(pcap_, &prog);
  pcap_freecode(&prog);
  if (set != 0) fail("filter");
  pcap_setnonblock(pcap_, 1, errbuf);
  thread_ = std::thread([this] { run(); });
}

Witness::~Witness() {
  if (thread_.joinable()) stop(0);
}

void Witness::on_packet(u_char* self, const pcap_pkthdr* h, const u_char* bytes) {
  auto* w = reinterpret_cast<Witness*>(self);
  Segment s;
  if (!decode_segment(bytes, h->caplen, pcap_datalink(w->pcap_), &s)) return;
  s.sec = h->ts.tv_sec;
  s.usec = h->ts.tv_usec;
  s.time = static_cast<double>(s.sec) + static_cast<double>(s.usec) / 1e6;
  s.len = h->len;
  w->seen_.push_back(s);
}

void Witness::run() {
  const int fd = pcap_get_selectable_fd(pcap_);
  while (!stop_) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 20);
    pcap_dispatch(pcap_, -1, on_packet, reinterpret_cast<u_char*>(this));
  }
  pcap_dispatch(pcap_, -1, on_packet, reinterpret_cast<u_char*>(this));
}

std::vector<Segment> Witness::stop(double settle_s) {
  sleep_s(settle_s);
  stop_ = true;
  thread_.join();
  pcap_close(pcap_);
  pcap_ = nullptr;
  return seen_;
}

Driver::Driver(const DriverPlan& plan) {
  std::vector<std::string> argv = {
      TRAFFIC_DRIVER_BIN,
      "--completed",
      std::to_string(plan.completed),
      "--client-bytes",
      std::to_string(plan.client_bytes),
      "--server-bytes",
      std::to_string(plan.server_bytes),
      "--resets",
      std::to_string(plan.resets),
      "--refused",
      std::to_string(plan.refused),
      "--gap-ms",
      std::to_string(plan.gap_ms),
      "--go-on-stdin",
      "--port",
      std::to_string(plan.port),
  };
  if (plan.ipv6) argv.push_back("--ipv6");
  if (plan.same_address) argv.push_back("--same-address");
  SpawnOptions opts;
  opts.stdin_pipe = true;
  child_ = spawn(argv, opts);
  // The first line, "PORT <p>", comes before any traffic. Read it byte by byte so
  // nothing after it is taken from the pipe.
  std::string line;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    pollfd p{child_.out, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c;
    if (read(child_.out, &c, 1) != 1) break;
    if (c == '\n') break;
    line += c;
  }
  if (std::sscanf(line.c_str(), "PORT %hu", &port_) != 1 || port_ == 0) {
    kill(child_.pid, SIGKILL);
    Finished f = finish(child_, 5);
    throw std::runtime_error("traffic_driver did not print its port: " + line + f.err);
  }
}

void Driver::go() {
  const char line[] = "go\n";
  if (write(child_.in, line, sizeof line - 1) != static_cast<ssize_t>(sizeof line - 1))
    throw std::runtime_error("traffic_driver: could not say go");
  close_fd(child_.in);
}

std::string Driver::wait(double timeout_s) {
  Finished f = finish(child_, timeout_s);
  if (f.status == 0 && f.out.find("DONE ") != std::string::npos) return "";
  return "traffic_driver exit status " + std::to_string(f.status) + ": " + f.out + f.err;
}

std::optional<std::string> run_in_child(bool own_network,
                                        const std::function<std::string()>& work) {
  int fds[2];
  make_pipe(fds);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::close(fds[0]);
    if (own_network && unshare(CLONE_NEWNET) != 0) _exit(1);
    const std::string result = work();
    size_t done = 0;
    while (done < result.size()) {
      ssize_t n = write(fds[1], result.data() + done, result.size() - done);
      if (n <= 0) _exit(1);
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  ::close(fds[1]);
  std::string result;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    result.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return result;
}

std::optional<double> number_after(const std::string& text, const std::string& label) {
  for (const std::string& line : split_lines(text)) {
    if (line.compare(0, label.size(), label) != 0) continue;
    const char* start = line.c_str() + label.size();
    char* end = nullptr;
    double v = std::strtod(start, &end);
    if (end != start) return v;
  }
  return std::nullopt;
}

int count_lines(const std::string& text, const std::string& prefix) {
  int n = 0;
  for (const std::string& line : split_lines(text))
    if (line.compare(0, prefix.size(), prefix) == 0) ++n;
  return n;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

}  // namespace live
