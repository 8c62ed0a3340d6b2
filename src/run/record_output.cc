#include "run/record_output.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/settings.h"
#include "common/trace.h"
#include "report/record_rows.h"
#include "report/row_writer.h"
#include "run/capture.h"
#include "stats/percentiles.h"
#include "stats/run_clock.h"
#include "track/records.h"

namespace {

// A live run flushes its files this often, at most.
constexpr int64_t LIVE_FLUSH_US = 1000000;

struct OutputFile {
  std::string name;
  FILE* file = nullptr;
  std::unique_ptr<RowWriter> rows;
};

struct RecordOutputs {
  FILE* data = nullptr;  // set by route_run_output
  OutputFile conns;
  OutputFile intervals;
  int64_t last_flush_us = 0;
  RecordCounts counts;
};

RecordOutputs g_outputs;

// Whether the file names the capture being read: writing it would destroy the
// input. Compared as files, so that another path to the same file is caught too.
bool is_capture_file(const std::string& name) {
  const Settings& s = g_settings;
  if (!s.reading_file() || name == STANDARD_OUTPUT_NAME) return false;
  struct stat in, out;
  if (stat(s.read_file.c_str(), &in) != 0 || stat(name.c_str(), &out) != 0) return false;
  return in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

bool open_output(OutputFile& o, const std::string& name, RowFormat format,
                 const char* const* fields, size_t count) {
  const char* prog = g_settings.program_name.c_str();
  if (is_capture_file(name)) {
    static constexpr char SAME_FILE_FMT[] =
        "%s: will not write %s over the capture file it reads\n";
    std::fprintf(g_output.err, SAME_FILE_FMT, prog, name.c_str());
    return false;
  }
  o.name = name;
  if (name == STANDARD_OUTPUT_NAME) {
    o.file = data_stream();
  } else {
    o.file = std::fopen(name.c_str(), "w");
    if (o.file == nullptr) {
      static constexpr char OPEN_FMT[] = "%s: %s: %s\n";
      std::fprintf(g_output.err, OPEN_FMT, prog, name.c_str(), std::strerror(errno));
      return false;
    }
    // The row writer gathers rows in blocks of its own: a stream buffer would only
    // copy them once more.
    std::setvbuf(o.file, nullptr, _IONBF, 0);
  }
  o.rows = std::make_unique<RowWriter>(o.file, format, fields, count);
  o.rows->header();
  return true;
}

// Flushes and closes; false when anything written was lost.
bool close_output(OutputFile& o) {
  if (o.file == nullptr) return true;
  o.rows->flush();
  bool ok = std::fflush(o.file) == 0 && std::ferror(o.file) == 0;
  if (o.name != STANDARD_OUTPUT_NAME) ok = std::fclose(o.file) == 0 && ok;
  o.file = nullptr;
  o.rows.reset();
  if (!ok) {
    static constexpr char WRITE_FAILED_FMT[] = "%s: error writing %s\n";
    std::fprintf(g_output.err, WRITE_FAILED_FMT, g_settings.program_name.c_str(),
                 o.name.c_str());
  }
  return ok;
}

// The tracker's hook: a record leaves the table.
void on_record(const ConnRecord& record) {
  g_outputs.counts.by_state[static_cast<size_t>(record.state)]++;
  g_outputs.counts.counted += record.counted;
  if (g_outputs.conns.rows) write_conn_row(*g_outputs.conns.rows, record);
  if (g_settings.json) percentiles_add(record);
}

void on_interval(const IntervalRow& row) {
  if (g_outputs.intervals.rows) write_interval_row(*g_outputs.intervals.rows, row);
}

}  // namespace

void route_run_output() {
  if (g_outputs.data != nullptr) return;
  g_outputs.data = g_output.out;
  if (g_settings.data_on_stdout()) g_output.out = g_output.err;
}

FILE* data_stream() { return g_outputs.data != nullptr ? g_outputs.data : g_output.out; }

bool start_records() {
  const Settings& s = g_settings;
  if (!s.keeps_records()) return true;
  if (!s.conns_file.empty() &&
      !open_output(g_outputs.conns, s.conns_file, s.conns_format, CONN_FIELDS, CONN_FIELD_COUNT))
    return false;
  if (!s.intervals_file.empty()) {
    if (!open_output(g_outputs.intervals, s.intervals_file, s.intervals_format, INTERVAL_FIELDS,
                     INTERVAL_FIELD_COUNT))
      return false;
    g_intervals.length_us = s.interval_us;
    g_records.interval_rows = true;
  }
  // Every histogram takes its memory now: nothing that handles a segment has to find
  // memory for records (a table that runs out ends the run with its report).
  if (g_records.interval_rows) g_records.interval_handshakes.reserve();
  if (s.json) {
    RecordPercentiles& p = g_percentiles;
    for (LogHistogram* h :
         {&p.duration_us, &p.handshake_us, &p.fin_to_fin_us, &p.client_bytes, &p.server_bytes})
      h->reserve();
  }
  g_records.enabled = true;
  g_records.sink = on_record;
  return true;
}

void write_due_intervals(const Timeval& now) { intervals_advance(usecs_of(now), on_interval); }

void tick_live_records() {
  if (!g_records.enabled) return;
  const Timeval now = wall_clock_now();
  advance_intervals(now);
  const int64_t now_us = usecs_of(now);
  if (now_us - g_outputs.last_flush_us < LIVE_FLUSH_US) return;
  g_outputs.last_flush_us = now_us;
  for (OutputFile* o : {&g_outputs.conns, &g_outputs.intervals}) {
    if (o->file == nullptr) continue;
    o->rows->flush();
    std::fflush(o->file);
  }
}

bool finish_records() {
  if (!g_records.enabled) return true;
  // A file run without packets has no time to cut into intervals.
  if (!g_capture.offline || g_clock.first_packet_seen)
    intervals_finish(usecs_of(g_clock.end_time), on_interval);
  records_flush_table();
  const bool conns_ok = close_output(g_outputs.conns);
  const bool intervals_ok = close_output(g_outputs.intervals);
  return conns_ok && intervals_ok;
}

const RecordCounts& record_counts() { return g_outputs.counts; }

void reset_record_outputs() {
  for (OutputFile* o : {&g_outputs.conns, &g_outputs.intervals}) {
    o->rows.reset();  // hands its rows to the stream, which must still be open
    if (o->file != nullptr && o->name != STANDARD_OUTPUT_NAME) std::fclose(o->file);
  }
  g_outputs = RecordOutputs{};
}
