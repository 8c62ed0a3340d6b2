// measure: runs a command and reports its wall time and peak resident memory, the
// two figures the benchmark compares, without depending on an external time(1).
//
//   measure RESULT_FILE COMMAND [ARGS...]
// Appends "<wall seconds> <peak RSS in KiB> <exit status> <user seconds> <system
// seconds>" to RESULT_FILE. The command's own output goes where measure's goes.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: measure RESULT_FILE COMMAND [ARGS...]\n", stderr);
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  const pid_t child = fork();
  if (child < 0) {
    std::perror("measure: fork");
    return 1;
  }
  if (child == 0) {
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "measure: %s: %s\n", argv[2], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("measure: wait4");
      return 1;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double wall =
      static_cast<double>(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* out = std::fopen(argv[1], "a");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const auto seconds = [](const struct timeval& tv) {
    return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
  };
  // ru_maxrss is in KiB on Linux.
  std::fprintf(out, "%.6f %ld %d %.6f %.6f\n", wall, usage.ru_maxrss, code, seconds(usage.ru_utime),
               seconds(usage.ru_stime));
  std::fclose(out);
  return code;
}
