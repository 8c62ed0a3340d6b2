// Records and interval rows: the files the long options name, opened once the
// capture is ready; the sinks each monitor's records and intervals go to; interval
// rows as a live run's time passes; and the end of the run, when the records still
// open leave and the files are closed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "common/time.h"
#include "report/record_rows.h"
#include "report/row_writer.h"
#include "stats/run.h"
#include "track/records.h"

// The records that left so far, by state, and how many were counted: what a check
// of a whole run compares with the report.
struct RecordCounts {
  uint64_t by_state[RECORD_STATES] = {};  // indexed by RecordState
  uint64_t counted = 0;
};

class RecordFiles {
 public:
  RecordFiles() = default;
  RecordFiles(const RecordFiles&) = delete;
  RecordFiles& operator=(const RecordFiles&) = delete;
  // Closes the files still open, with the rows already built (a run that ends early).
  ~RecordFiles();

  // Opens the files the settings name (writing the CSV headers) and turns record
  // keeping on in every monitor, also for --json alone, whose percentiles come from
  // the records. Prints why and returns false when a file cannot be opened; does
  // nothing without those options. Before the first packet; the run must outlive
  // the files.
  bool start(Run& run);

  // A monitor added after start() (a port -p any found): its records and rows go to
  // the same files, and its intervals are cut where the run's are.
  void adopt(Run& run, Monitor& m);

  // Between the batches of a live run: the interval rows the wall clock has made
  // due, and, at most once a second, the files flushed, so they can be followed as
  // they grow.
  void tick_live(Run& run);

  // After SIGHUP (logrotate renamed the files): the files are closed, with every row
  // built so far, and opened again under their names, a CSV file that starts empty
  // with its header. Standard output and devices stay as they are. False after
  // printing why when a file could not be written or opened again; rows go on to the
  // others.
  bool reopen(const Run& run);

  // The end of the run (its clock stopped): the last interval rows, then every
  // record still in the tables, then the files closed. False after printing why
  // when a file could not be written completely. Nothing without record keeping.
  bool finish(Run& run);

  const RecordCounts& counts() const { return counts_; }

 private:
  struct OutputFile {
    std::string name;
    FILE* file = nullptr;
    std::unique_ptr<RowWriter> rows;
  };

  bool open(const Run& run, OutputFile& o, const std::string& name, RowFormat format,
            const char* const* fields, size_t count, bool append = false);
  bool close(const Run& run, OutputFile& o);
  void on_record(Monitor& m, const ConnRecord& record);

  bool started_ = false;
  bool reopen_failed_ = false;  // rows were lost: the run ends in failure
  OutputFile conns_;
  OutputFile intervals_;
  // What each was opened with, to open it again.
  RowFormat conns_format_ = RowFormat::CSV;
  RowFormat intervals_format_ = RowFormat::CSV;
  ConnRowCache conn_text_;
  int64_t last_flush_us_ = 0;
  RecordCounts counts_;
};
