// --summary: one short text report per port, for a person at a terminal. It
// replaces the classic report on standard output and reads its figures from the
// same place as the page (report/headline.h).
#pragma once

#include <cstdio>

#include "stats/run.h"

// Every port's summary, in the order of the text reports, an empty line between
// two; after the run has ended and the records still open have left.
void write_summary_screen(const Run& run, FILE* out);
