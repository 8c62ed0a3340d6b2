#include "common/trace.h"

#include <cstdarg>
#include <cstring>

const char* portsift_base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

void trace_to(FILE* out, const char* file, int line, const char* fmt, ...) {
  std::fprintf(out, "%s:%d:", file, line);
  va_list args;
  va_start(args, fmt);
  std::vfprintf(out, fmt, args);
  va_end(args);
}
