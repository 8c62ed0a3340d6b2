// The command line: read into the settings once at start-up, with the defaults and
// checks applied in their order. Nothing here ends the process: what the command
// line came to is returned, and main() prints it and exits.
#pragma once

#include <cstdio>
#include <string>

#include "common/settings.h"

// What reading the command line came to. Either the settings are ready (`run`), or
// the program ends with `status` after printing `out` on standard output, then `err`
// and, with `usage`, the usage text on standard error. A complaint of the option
// parser itself (an unknown option, a missing argument) has been printed on
// standard error already, as getopt() does; it leaves `err` empty and asks for the
// usage text.
struct ParseResult {
  bool run = false;
  int status = 0;
  std::string out;
  std::string err;
  bool usage = false;
};

// Reads argv into *settings and applies the defaults and checks of start-up, in
// their order; the first check that fails decides the result.
ParseResult parse_options(int argc, char** argv, Settings* settings);

// The usage text, on `err`.
void print_usage(FILE* err, const char* program_name);

// The strptime() format for a -I time text: dates contain a '-'.
const char* since_format(const std::string& text);
