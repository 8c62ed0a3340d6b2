// The end-of-run report of one monitored port: the records still in its table
// classified, the summary, then the distribution table or one of the variants.
#pragma once

#include <cstdio>

#include "stats/monitor.h"
#include "stats/run.h"

// The whole report of a capture run, after the run has ended (its clock stopped):
// the summary and the table, or the variant -V asks for. Writes to `out` and returns;
// it can be written again.
void write_report(const Run& run, const Monitor& m, FILE* out);
