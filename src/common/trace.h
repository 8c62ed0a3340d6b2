// Diagnostics: the "file:line:" prefix of traces and of set-up error messages, and
// the streams a run prints its lines on.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "common/time.h"

#if defined(__FILE_NAME__)
#define PORTSIFT_FILE_NAME __FILE_NAME__
#else
#define PORTSIFT_FILE_NAME portsift_base_name(__FILE__)
#endif

// Where a run prints: traces, -c lines and status lines on `out` (standard output,
// or standard error when standard output carries the JSON report or rows), and the
// warnings printed during a run on `err`; the process's streams, or a test's buffers.
struct RunOutput {
  FILE* out = stdout;
  FILE* err = stderr;
};

const char* portsift_base_name(const char* path);

// Writes "file:line:" and then the formatted text to `out`.
void trace_to(FILE* out, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void vtrace_to(FILE* out, const char* file, int line, const char* fmt, va_list args)
    __attribute__((format(printf, 4, 0)));

// A trace or an error message on `stream`, prefixed with the printing statement's
// file and line.
#define TRACE(stream, ...) trace_to((stream), PORTSIFT_FILE_NAME, __LINE__, __VA_ARGS__)

// msecs_between, and at -d level 1 or more the "Bad value of time" trace on `out`
// when the interval runs backwards.
int32_t traced_msecs_between(FILE* out, int debug, const Timeval& earlier, const Timeval& later);
