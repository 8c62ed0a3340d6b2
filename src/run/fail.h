// Ending the process on a failure: the message, then exit status 1.
#pragma once

#include <cstdio>

#include "common/trace.h"

// Prints the message on `stream` and exits with status 1.
[[noreturn]] void fail(FILE* stream, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The same, with the "file:line:" prefix of the printing statement.
[[noreturn]] void fail_at(FILE* stream, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

#define FAIL_TRACE(...) fail_at(g_output.err, PORTSIFT_FILE_NAME, __LINE__, __VA_ARGS__)
