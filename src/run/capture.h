// A capture run from its start to its end: the run's state set up from the
// settings, the interface found, the source opened, then the write loop, the file
// loop or the live loop, and the end of the run.
#pragma once

#include <pcap/pcap.h>

#include "common/settings.h"
#include "run/fast_read.h"
#include "run/record_output.h"
#include "run/run_end.h"
#include "run/source.h"
#include "stats/run.h"

// Everything after the command line: what main() does with the settings.
RunEnd run_capture(const Settings& settings);

// Makes the run's monitors (one, for its port); false after printing why when their
// memory cannot be had.
bool add_monitors(Run& run);

// A capture-mode run over an already opened savefile: installs the filter, checks
// the link type, opens the record files, hands every packet to the packet loop and
// writes the report; the source is closed at its end. `interface` names the
// interface whose network mask the filter uses (-i), or is null. `fast`, when
// given, is where the fast reader finds the same savefile; without it the run's -r
// file is, unless that is standard input.
RunEnd run_file_capture(Run& run, RecordFiles& files, Source& src, const char* interface,
                        const FastReadSource* fast = nullptr);
