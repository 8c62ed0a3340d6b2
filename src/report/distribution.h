// Distribution table: one row per bucket with its averages, aligned for reading or
// comma-separated (-R) for scripts, then the -D filter listing.
#pragma once

#include <cstdio>

#include "stats/monitor.h"
#include "stats/run.h"

void print_distribution(FILE* out, const Run& run, const Monitor& m);
