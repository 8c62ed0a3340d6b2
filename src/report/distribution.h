// Distribution table: one row per bucket with its averages, aligned for reading or
// comma-separated (-R) for scripts, then the -D filter listing.
#pragma once

#include <cstdio>

void print_distribution(FILE* out);
