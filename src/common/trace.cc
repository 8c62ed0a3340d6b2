#include "common/trace.h"

#include <cstdarg>
#include <cstring>

RunOutput g_output;

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
