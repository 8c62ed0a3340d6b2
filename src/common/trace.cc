#include "common/trace.h"

#include <cinttypes>
#include <cstdarg>
#include <cstring>

const char* portsift_base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

void trace_to(FILE* out, const char* file, int line, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vtrace_to(out, file, line, fmt, args);
  va_end(args);
}

void vtrace_to(FILE* out, const char* file, int line, const char* fmt, va_list args) {
  std::fprintf(out, "%s:%d:", file, line);
  std::vfprintf(out, fmt, args);
}

int32_t traced_msecs_between(FILE* out, int debug, const Timeval& earlier, const Timeval& later) {
  bool backwards = false;
  const int32_t ms = msecs_between(earlier, later, &backwards);
  if (backwards && debug >= 1) {
    static constexpr char BAD_TIME_FMT[] =
        "Bad value of time:%" PRId64 "/%" PRId64 ", %" PRId64 "/%" PRId64 "\n\n";
    TRACE(out, BAD_TIME_FMT, earlier.sec, earlier.usec, later.sec, later.usec);
  }
  return ms;
}
