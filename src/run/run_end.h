// The start and the end of a capture-mode run: the lines that say which connections
// count before the first packet, and after the last the warnings, the records and
// rows still to write, and the report. Also how a run ends, for main() to turn into
// the process's exit.
#pragma once

#include "run/record_output.h"
#include "run/source.h"
#include "stats/run.h"

enum class RunEnd : uint8_t {
  SUCCESS,             // exit status 0
  FAILURE,             // exit status 1, the reason printed
  FAILURE_WITH_USAGE,  // exit status 1 after the usage text
  INTERRUPTED,         // SIGINT ended a file run: the process ends by that signal
};

// The byte-limit lines and, with -T, that estimation is on, before the first packet.
void print_considering_lines(const Run& run);

// The end of a capture-mode run: the warnings of a run that ran out of memory or
// left SYNs unfollowed, the capture statistics and closing, the records and rows
// still to write, then the report of every monitor: the text, the JSON object, or
// none when standard output carries the rows. FAILURE when a record file could not
// be written completely.
RunEnd finish_run(Run& run, Source& src, RecordFiles& files);
