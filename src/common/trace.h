// Diagnostics: the "file:line:" prefix of traces and of set-up error messages.
#pragma once

#include <cstdio>

#if defined(__FILE_NAME__)
#define PORTSIFT_FILE_NAME __FILE_NAME__
#else
#define PORTSIFT_FILE_NAME portsift_base_name(__FILE__)
#endif

// Current diagnostic level (each -d adds one).
int debug_level();

const char* portsift_base_name(const char* path);

// Writes "file:line:" and then the formatted text to `out`.
void trace_to(FILE* out, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// A trace on standard output, prefixed with the printing statement's file and line.
#define TRACE(...) trace_to(stdout, PORTSIFT_FILE_NAME, __LINE__, __VA_ARGS__)
// An error message on standard error with the same prefix; printed at every level.
#define TRACE_ERR(...) trace_to(stderr, PORTSIFT_FILE_NAME, __LINE__, __VA_ARGS__)
