// Diagnostics: the "file:line:" prefix of traces and of set-up error messages, and
// the streams that the lines printed while packets are handled go to.
#pragma once

#include <cstdarg>
#include <cstdio>

#if defined(__FILE_NAME__)
#define PORTSIFT_FILE_NAME __FILE_NAME__
#else
#define PORTSIFT_FILE_NAME portsift_base_name(__FILE__)
#endif

// Where traces, -c lines and status lines go (`out`) and the warnings printed during
// a run (`err`): standard output and standard error, or a test's buffers.
struct RunOutput {
  FILE* out = stdout;
  FILE* err = stderr;
};

extern RunOutput g_output;

const char* portsift_base_name(const char* path);

// Writes "file:line:" and then the formatted text to `out`.
void trace_to(FILE* out, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void vtrace_to(FILE* out, const char* file, int line, const char* fmt, va_list args)
    __attribute__((format(printf, 4, 0)));

// A trace, prefixed with the printing statement's file and line.
#define TRACE(...) trace_to(g_output.out, PORTSIFT_FILE_NAME, __LINE__, __VA_ARGS__)
// An error message with the same prefix on the error stream; printed at every level.
#define TRACE_ERR(...) trace_to(g_output.err, PORTSIFT_FILE_NAME, __LINE__, __VA_ARGS__)
