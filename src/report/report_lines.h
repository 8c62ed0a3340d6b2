// The lines that the full report and the brief report share.
#pragma once

#include <cstdint>
#include <cstdio>

#include "stats/monitor.h"

// Averages over the counted connections: 0 when nothing was counted.
inline int64_t average(int64_t sum, int64_t count) { return count == 0 ? 0 : sum / count; }

// "Results of monitoring port ..." with the run's length.
void print_results_line(FILE* out, uint16_t port, int32_t elapsed_ms);

// The total and repeated SYNs.
void print_syn_totals(FILE* out, const Monitor& m);

// The SYNs the counted connections needed, and their average when there are any.
void print_syns_taken(FILE* out, const Monitor& m);

// The SYNs of the connections that never completed.
void print_incomplete_syns(FILE* out, uint64_t incomplete_syns);

// The distribution of SYNs per counted connection, without its line end.
void print_syn_distribution(FILE* out, const Monitor& m);
