// Report variants: the brief report (-V 1), the listing of connections still open
// (-V 999) and the periodic status line (-m).
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/time.h"
#include "stats/monitor.h"
#include "stats/run.h"

// "records, elapsed seconds, records open longer than -m msecs" at time `now`.
void print_status(FILE* out, const Run& run, const Monitor& m, const Timeval& now);

// The summary without times, round trips, resets or table.
void print_brief_report(FILE* out, const Monitor& m, int32_t elapsed, const OpenCounts& open);

// Connections open longer than -m msecs (with -m), then those without a SYN-ACK.
void print_open_connections(FILE* out, const Run& run, const Monitor& m);
