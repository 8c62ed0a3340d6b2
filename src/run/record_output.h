// Records and interval rows: the files the long options name, opened once the
// capture is ready; the sinks the tracker's hook and the interval clock call;
// interval rows as the run's time passes; and the end of the run, when the records
// still open leave and the files are closed.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/time.h"
#include "stats/intervals.h"
#include "track/records.h"

// Standard output carries only the JSON report or the rows when the settings say
// so: the lines the run prints besides (traces, -c, -m, the byte limits) then go to
// the run's error stream. The run's output stream as it was is kept as the data
// stream. Called once before anything is printed; again, it changes nothing.
void route_run_output();
// Where the JSON report and records or rows named "-" go.
FILE* data_stream();

// Opens the files the settings name (writing the CSV headers) and turns record
// keeping on, also for --json alone, whose percentiles come from the records.
// Prints why and returns false when a file cannot be opened; does nothing without
// those options.
bool start_records();

// Interval rows for every interval that has ended by `now`: packet times in a file
// run, also the wall clock in a live one.
void write_due_intervals(const Timeval& now);
inline void advance_intervals(const Timeval& now) {
  if (g_intervals.length_us != 0) write_due_intervals(now);
}

// Between the batches of a live run: the interval rows the wall clock has made due,
// and, at most once a second, the files flushed, so they can be followed as they grow.
void tick_live_records();

// The end of the run (its clock stopped): the last interval rows, then every record
// still in the table, then the files closed. False after printing why when a file
// could not be written completely. Nothing without record keeping.
bool finish_records();

// The records that left so far, by state, and how many were counted: what a check
// of a whole run compares with the report.
struct RecordCounts {
  uint64_t by_state[6] = {};  // indexed by RecordState
  uint64_t counted = 0;
};
const RecordCounts& record_counts();

// Closes the files still open, with the rows already built (tests, and runs that
// end early).
void reset_record_outputs();
