// The report as one JSON object, for scripts and dashboards: the same figures as
// the text report, under the same settings, plus percentiles of the counted
// connections. doc/portsift.1 (JSON REPORT) describes every key.
#pragma once

#include <cstdio>

#include "stats/monitor.h"
#include "stats/run.h"

// The schema's version: raised when a key changes meaning or goes away, not when
// one is added.
constexpr int JSON_REPORT_VERSION = 1;

// Writes the object and a line end to `out`, after the run has ended and the
// records still open have left (their percentiles count).
void write_json_report(const Run& run, const Monitor& m, FILE* out);
