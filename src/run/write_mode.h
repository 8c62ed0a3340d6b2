// Write mode (-w): the packets that pass the capture filter copied to a savefile,
// without a report.
#pragma once

#include "run/run_end.h"
#include "run/source.h"
#include "stats/run.h"

// Copies every packet the source's filter passes to the -w file until the source
// ends (a file) or a signal stops it (live), then closes both. `interface` names a
// live source in a warning.
RunEnd run_write_mode(Run& run, Source& src, const char* interface);

// The lines that name the settings a copy ignores (they only shape a report), in
// their order, on the run's error stream.
void print_ignored_settings(const Run& run);

// Flushes and closes the savefile; false after saying so when it could not be
// written completely (a full disk, say), which must not end in a status that says
// it was.
bool close_savefile(const Run& run, pcap_dumper_t* dumper);
