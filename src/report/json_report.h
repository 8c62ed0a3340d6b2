// The report as one JSON object, for scripts and dashboards: the same figures as
// the text report, under the same settings, plus percentiles of the counted
// connections. doc/portsift.1 (JSON REPORT) describes every key.
#pragma once

#include <cstdio>

#include "stats/monitor.h"
#include "stats/run.h"

// The schema's version: raised when a key changes meaning or goes away, not when
// one is added.
// 2: the document holds the run's span, one object per port (each what version 1's
// whole document was), and the totals across the ports.
constexpr int JSON_REPORT_VERSION = 2;

// The whole report: the run's span, "ports" (one object per watched port, in the
// order of the text reports), "totals" across them and, with -p any, "unwatched".
// Writes it and a line end to `out`, after the run has ended and the records still
// open have left (their percentiles count).
void write_json_report(const Run& run, FILE* out);

// One port's object alone, as the document holds it.
void write_json_report(const Run& run, const Monitor& m, FILE* out);
