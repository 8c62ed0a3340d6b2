// The command line: read into the settings once at start-up, with the defaults and
// checks applied in their order.
#pragma once

#include <string>

// Reads argv into g_settings and applies the defaults and checks of start-up, in
// their order; the first check that fails ends the process. On success the bucket
// table exists (except in write mode).
void parse_command_line(int argc, char** argv);

// Prints the usage text on standard error and exits with status 1.
[[noreturn]] void usage(const char* program_name);

// The strptime() format for a -I time text: dates contain a '-'.
const char* since_format(const std::string& text);
