#include "run/fail.h"

#include <cstdarg>
#include <cstdlib>

void fail(FILE* stream, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::vfprintf(stream, fmt, args);
  va_end(args);
  std::exit(1);
}

void fail_at(FILE* stream, const char* file, int line, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vtrace_to(stream, file, line, fmt, args);
  va_end(args);
  std::exit(1);
}
