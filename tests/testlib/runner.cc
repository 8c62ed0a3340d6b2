#include "testlib/runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "testlib/argv.h"

namespace testlib {

std::string portsift_binary() {
  const char* env = std::getenv("PORTSIFT_BIN");
  return env ? env : PORTSIFT_BIN;
}

RunResult run_portsift(const std::vector<std::string>& args, const RunOptions& opts) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");
  if (opts.stderr_on_terminal) {
    // The terminal's master side stands in for the pipe's read end.
    close(err_pipe[0]);
    close(err_pipe[1]);
    err_pipe[0] = posix_openpt(O_RDWR | O_NOCTTY);
    if (err_pipe[0] < 0 || grantpt(err_pipe[0]) != 0 || unlockpt(err_pipe[0]) != 0)
      throw std::runtime_error("posix_openpt");
    err_pipe[1] = open(ptsname(err_pipe[0]), O_RDWR | O_NOCTTY);
    if (err_pipe[1] < 0) throw std::runtime_error("open pseudo-terminal");
  }
  std::string bin = opts.binary.empty() ? portsift_binary() : opts.binary;
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    int devnull = open(opts.stdin_path.empty() ? "/dev/null" : opts.stdin_path.c_str(), O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    setenv("TZ", "UTC", 1);
    setenv("LC_ALL", "C", 1);
    std::vector<std::string> words = opts.wrapper;
    words.push_back(opts.wrapper.empty() ? "portsift" : bin);
    words.insert(words.end(), args.begin(), args.end());
    Argv argv(std::move(words));
    execv(opts.wrapper.empty() ? bin.c_str() : opts.wrapper[0].c_str(), argv.argv());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);

  RunResult r;
  using clock = std::chrono::steady_clock;
  auto start = clock::now();
  bool interrupted = false, killed = false;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_fds = 2;
  while (open_fds > 0) {
    double elapsed = std::chrono::duration<double>(clock::now() - start).count();
    if (opts.interrupt_after_s >= 0 && !interrupted && elapsed >= opts.interrupt_after_s) {
      kill(pid, SIGINT);
      interrupted = true;
    }
    if (!killed && elapsed >= opts.timeout_s) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (poll(fds, 2, 20) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

std::string normalize_prefix(const std::string& text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    size_t stop = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(pos, stop - pos);
    // file name: [A-Za-z0-9_]+\.cc, then ':' digits ':'
    size_t i = 0;
    while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_'))
      ++i;
    if (i > 0 && line.compare(i, 4, ".cc:") == 0) {
      size_t j = i + 4, digits = j;
      while (j < line.size() && std::isdigit(static_cast<unsigned char>(line[j]))) ++j;
      if (j > digits && j < line.size() && line[j] == ':') line = "FILE:LINE:" + line.substr(j + 1);
    }
    out += line;
    pos = stop;
  }
  return out;
}

std::string scratch_dir() {
  static std::string dir;
  if (dir.empty()) {
    char tmpl[] = "/tmp/portsift-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    dir = tmpl;
    std::atexit([] { std::filesystem::remove_all(dir); });
  }
  return dir;
}

}  // namespace testlib
