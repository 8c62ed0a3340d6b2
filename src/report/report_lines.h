// The lines that the full report and the brief report share.
#pragma once

#include <cstdint>
#include <cstdio>

// "Results of monitoring port ..." with the run's length.
void print_results_line(FILE* out, int32_t elapsed_ms);

// The total and repeated SYNs.
void print_syn_totals(FILE* out);

// The SYNs the counted connections needed, and their average when there are any.
void print_syns_taken(FILE* out);

// The SYNs of the connections that never completed.
void print_incomplete_syns(FILE* out, uint64_t incomplete_syns);

// The distribution of SYNs per counted connection, without its line end.
void print_syn_distribution(FILE* out);
