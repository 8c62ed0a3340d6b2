// portsift: measures the TCP connections made to one server port, live or from a
// capture file. The only place the process ends: every layer below returns what
// happened, and main turns it into the exit status.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "run/capture.h"
#include "run/command_line.h"

namespace {

int exit_status(RunEnd end, const char* program_name) {
  switch (end) {
    case RunEnd::SUCCESS:
      return EXIT_SUCCESS;
    case RunEnd::FAILURE:
      return EXIT_FAILURE;
    case RunEnd::FAILURE_WITH_USAGE:
      std::fflush(stdout);
      print_usage(stderr, program_name);
      return EXIT_FAILURE;
    case RunEnd::INTERRUPTED:
      // The process ends by the signal, as an interrupted program does: its parent
      // (a shell, a script) sees it killed by SIGINT, not a status of its own.
      std::signal(SIGINT, SIG_DFL);
      std::raise(SIGINT);
      return EXIT_FAILURE;  // not reached: the default action ends the process
  }
  return EXIT_FAILURE;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  const ParseResult parsed = parse_options(argc, argv, &settings);
  if (!parsed.run) {
    std::fputs(parsed.out.c_str(), stdout);
    std::fflush(stdout);
    std::fputs(parsed.err.c_str(), stderr);
    if (parsed.usage) print_usage(stderr, settings.program_name.c_str());
    return parsed.status;
  }
  return exit_status(run_capture(settings), settings.program_name.c_str());
}
