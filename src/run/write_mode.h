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
