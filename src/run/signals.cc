#include "run/signals.h"

#include <csignal>
#include <cstring>

namespace {

// Shared with the signal handler, which may run between any two instructions of the
// loop: written by the handler (the flag) or read by it (the handle).
volatile std::sig_atomic_t g_stop_requested = 0;
volatile std::sig_atomic_t g_reopen_requested = 0;
pcap_t* volatile g_break_target = nullptr;

void on_signal(int signo) {
  if (signo == SIGHUP) {
    g_reopen_requested = 1;  // seen between two dispatches: the loop goes on
    return;
  }
  g_stop_requested = 1;
  pcap_t* const pcap = g_break_target;
  if (pcap != nullptr) pcap_breakloop(pcap);
}

}  // namespace

bool stop_signalled() { return g_stop_requested != 0; }

void clear_stop_signal() {
  g_stop_requested = 0;
  g_reopen_requested = 0;
  g_break_target = nullptr;
}

bool take_reopen_request() {
  if (g_reopen_requested == 0) return false;
  g_reopen_requested = 0;
  return true;
}

void break_on_signal(pcap_t* pcap) { g_break_target = pcap; }

void install_signals(bool live, bool reopen) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  // SA_RESTART: a write to standard output (or to a savefile on a pipe) that is
  // blocked when the signal lands must go on, not fail with EINTR; stdio would
  // drop the buffered lines. The wait for packets inside libpcap still ends:
  // poll() is never restarted, and pcap_breakloop() wakes it as well.
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGALRM, &sa, nullptr);
  if (live) sigaction(SIGTERM, &sa, nullptr);
  if (reopen) sigaction(SIGHUP, &sa, nullptr);
}

void hold_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGALRM);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigprocmask(SIG_BLOCK, &set, nullptr);
}
