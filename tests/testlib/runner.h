// Runs the real portsift binary and collects what it printed and how it ended.
#pragma once

#include <string>
#include <vector>

namespace testlib {

struct RunResult {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status, or 128 + signal number
};

struct RunOptions {
  double timeout_s = 30;  // killed with SIGKILL after this long
  // When >= 0: SIGINT is sent this many seconds after the start.
  double interrupt_after_s = -1;
  // When set: the command (with its arguments) that runs the binary, for example
  // setpriv to drop privileges; the binary's path and arguments follow it.
  std::vector<std::string> wrapper;
  std::string binary;  // when set, run this copy instead of the binary under test
  // Standard error on a pseudo-terminal instead of a pipe, as a person at a terminal
  // has it (its line ends then read "\r\n").
  bool stderr_on_terminal = false;
  // When set: the file the program reads as standard input (else /dev/null).
  std::string stdin_path;
};

// Runs the binary with TZ=UTC and LC_ALL=C, so ctime() lines and number formats are
// the same everywhere. args excludes argv[0], which is "portsift".
RunResult run_portsift(const std::vector<std::string>& args, const RunOptions& opts = {});

// Path of the binary under test.
std::string portsift_binary();

// Replaces the "file.cc:123:" prefix at the start of each line with "FILE:LINE:", so
// moving a line of code does not break an expected text.
std::string normalize_prefix(const std::string& text);

// A fresh scratch directory, removed at exit.
std::string scratch_dir();

}  // namespace testlib
