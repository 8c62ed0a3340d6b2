#include "run/record_output.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

#include "run/file_identity.h"
#include "stats/percentiles.h"
#include "stats/run_clock.h"

namespace {

// A live run flushes its files this often, at most.
constexpr int64_t LIVE_FLUSH_US = 1000000;
// The page's timeline, when no --interval gives its rows: one a second.
constexpr int64_t PAGE_INTERVAL_US = 1000000;

}  // namespace

RecordFiles::~RecordFiles() {
  for (OutputFile* o : {&conns_, &intervals_}) {
    o->rows.reset();  // hands its rows to the stream, which must still be open
    if (o->file != nullptr && o->name != STANDARD_OUTPUT_NAME) std::fclose(o->file);
  }
}

bool RecordFiles::open(const Run& run, OutputFile& o, const std::string& name, RowFormat format,
                       const char* const* fields, size_t count, bool append) {
  const Settings& s = run.settings;
  const char* prog = s.program_name.c_str();
  // Writing the capture being read would destroy the input.
  if (s.reading_file() && name != STANDARD_OUTPUT_NAME && same_file(s.read_file, name)) {
    static constexpr char SAME_FILE_FMT[] =
        "%s: will not write %s over the capture file it reads\n";
    std::fprintf(run.output.err, SAME_FILE_FMT, prog, name.c_str());
    return false;
  }
  o.name = name;
  if (name == STANDARD_OUTPUT_NAME) {
    o.file = run.data;
  } else {
    // Reopened after a rotation: a file that was not renamed after all is added to,
    // never cut.
    o.file = std::fopen(name.c_str(), append ? "a" : "w");
    if (o.file == nullptr) {
      static constexpr char OPEN_FMT[] = "%s: %s: %s\n";
      std::fprintf(run.output.err, OPEN_FMT, prog, name.c_str(), std::strerror(errno));
      return false;
    }
    // The row writer gathers rows in blocks of its own: a stream buffer would only
    // copy them once more.
    std::setvbuf(o.file, nullptr, _IONBF, 0);
  }
  o.rows = std::make_unique<RowWriter>(o.file, format, fields, count);
  struct stat st;
  const bool empty = fstat(fileno(o.file), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0;
  if (!append || empty) o.rows->header();
  return true;
}

// Flushes and closes; false when anything written was lost.
bool RecordFiles::close(const Run& run, OutputFile& o) {
  if (o.file == nullptr) return true;
  o.rows->flush();
  bool ok = std::fflush(o.file) == 0 && std::ferror(o.file) == 0;
  if (o.name != STANDARD_OUTPUT_NAME) ok = std::fclose(o.file) == 0 && ok;
  o.file = nullptr;
  o.rows.reset();
  if (!ok) {
    static constexpr char WRITE_FAILED_FMT[] = "%s: error writing %s\n";
    std::fprintf(run.output.err, WRITE_FAILED_FMT, run.settings.program_name.c_str(),
                 o.name.c_str());
  }
  return ok;
}

// A monitor's record leaves its table.
void RecordFiles::on_record(Monitor& m, const ConnRecord& record) {
  counts_.by_state[static_cast<size_t>(record.state)]++;
  counts_.counted += record.counted;
  if (conns_.rows) write_conn_row(*conns_.rows, m.pool, conn_text_, record);
  if (m.settings.gathers_percentiles()) percentiles_add(m.percentiles, record);
  page_add_record(m.page, m.pool, record);
}

bool RecordFiles::start(Run& run) {
  const Settings& s = run.settings;
  if (!s.keeps_records()) return true;
  conns_format_ = s.conns_format;
  intervals_format_ = s.intervals_format;
  if (!s.conns_file.empty() &&
      !open(run, conns_, s.conns_file, s.conns_format, CONN_FIELDS, CONN_FIELD_COUNT))
    return false;
  if (!s.intervals_file.empty() && !open(run, intervals_, s.intervals_file, s.intervals_format,
                                         INTERVAL_FIELDS, INTERVAL_FIELD_COUNT))
    return false;
  started_ = true;
  for (const std::unique_ptr<Monitor>& m : run.monitors) adopt(run, *m);
  return true;
}

void RecordFiles::adopt(Run& run, Monitor& m) {
  if (!started_) return;
  const Settings& s = run.settings;
  if (!s.intervals_file.empty() || m.page.enabled) {
    // The page's timeline follows the rows of --intervals when there are any.
    m.intervals.length_us = s.intervals_file.empty() ? PAGE_INTERVAL_US : s.interval_us;
    m.intervals.sink = [this, &m](const IntervalRow& row) {
      if (intervals_.rows) write_interval_row(*intervals_.rows, row, m.port);
      page_add_interval(m.page, row);
    };
    m.records.interval_rows = true;
    // The run's intervals have started: this monitor's begins with the current one,
    // from nothing.
    const Monitor& first = *run.monitors.front();
    if (&first != &m && first.intervals.started) {
      m.intervals.started = true;
      m.intervals.start_us = first.intervals.start_us;
      m.intervals.not_before_us = first.intervals.not_before_us;
      m.intervals.at_start = IntervalTotals{};
    }
  }
  records_start(m.records, m.table);
  m.records.sink = [this, &m](const ConnRecord& record) { on_record(m, record); };
}

bool RecordFiles::reopen(const Run& run) {
  if (!started_) return true;
  bool ok = true;
  const struct {
    OutputFile& file;
    RowFormat format;
    const char* const* fields;
    size_t count;
  } outputs[] = {
      {conns_, conns_format_, CONN_FIELDS, CONN_FIELD_COUNT},
      {intervals_, intervals_format_, INTERVAL_FIELDS, INTERVAL_FIELD_COUNT},
  };
  for (const auto& o : outputs) {
    if (o.file.file == nullptr || o.file.name == STANDARD_OUTPUT_NAME || is_device(o.file.name))
      continue;
    const std::string name = o.file.name;
    ok = close(run, o.file) && ok;
    ok = open(run, o.file, name, o.format, o.fields, o.count, true) && ok;
  }
  if (!ok) reopen_failed_ = true;
  return ok;
}

void RecordFiles::tick_live(Run& run) {
  if (!started_) return;
  const Timeval now = wall_clock_now();
  const int64_t now_us = usecs_of(now);
  advance_intervals(run, now_us);
  if (now_us - last_flush_us_ < LIVE_FLUSH_US) return;
  last_flush_us_ = now_us;
  for (OutputFile* o : {&conns_, &intervals_}) {
    if (o->file == nullptr) continue;
    o->rows->flush();
    std::fflush(o->file);
  }
}

bool RecordFiles::finish(Run& run) {
  if (!started_) return true;
  // A file run without packets has no time to cut into intervals.
  if (!run.offline || run.clock.first_packet_seen) finish_intervals(run, usecs_of(run.clock.end_time));
  for (const std::unique_ptr<Monitor>& m : run.monitors) records_flush_table(m->records, m->table);
  const bool conns_ok = close(run, conns_);
  const bool intervals_ok = close(run, intervals_);
  return conns_ok && intervals_ok && !reopen_failed_;
}
