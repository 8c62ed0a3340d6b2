#include "run/progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>


namespace {

// Carriage return and "erase to end of line": the next draw, or the report, starts
// on an empty line.
constexpr char ERASE_LINE[] = "\r\033[K";

double monotonic_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Size of a regular file behind the capture handle; 0 when it has none (a pipe).
int64_t savefile_size(FILE* file) {
  struct stat st;
  if (file == nullptr || fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<int64_t>(st.st_size);
}

}  // namespace

void progress_start(Progress* p, FILE* out, int64_t file_size, double now) {
  *p = Progress{};
  p->out = out;
  p->file_size = file_size;
  p->start = now;
  p->next_draw = now + PROGRESS_DELAY_S;
}

bool progress_due(const Progress* p, double now) {
  return p->out != nullptr && now >= p->next_draw;
}

void progress_tick(Progress* p, double now, uint64_t packets, int64_t offset) {
  if (!progress_due(p, now)) return;
  p->next_draw = now + PROGRESS_REFRESH_S;
  const double elapsed = now - p->start;
  const double rate = elapsed > 0 ? static_cast<double>(packets) / elapsed : 0;
  // Kept well under 80 columns: a line that wraps cannot be erased by a carriage
  // return.
  static constexpr char SHARE_FMT[] = "%s%3d%% of the file read, %llu matching packets, %.0f/s";
  static constexpr char NO_SIZE_FMT[] = "%s%llu matching packets, %.0f/s";
  // A set: the file being read, by the last part of its name, cut to keep the line
  // short.
  static constexpr char SET_SHARE_FMT[] =
      "%s%3d%% of %zu files read, at %.20s, %llu packets, %.0f/s";
  if (p->files > 0 && p->file_size > 0) {
    int64_t share = offset > 0 ? offset * 100 / p->file_size : 0;
    if (share > 100) share = 100;
    const char* name = p->current != nullptr ? p->current : "";
    if (const char* slash = std::strrchr(name, '/')) name = slash + 1;
    std::fprintf(p->out, SET_SHARE_FMT, ERASE_LINE, static_cast<int>(share), p->files, name,
                 static_cast<unsigned long long>(packets), rate);
  } else if (p->file_size > 0) {
    int64_t share = offset > 0 ? offset * 100 / p->file_size : 0;
    if (share > 100) share = 100;  // the file grew while it was read
    std::fprintf(p->out, SHARE_FMT, ERASE_LINE, static_cast<int>(share),
                 static_cast<unsigned long long>(packets), rate);
  } else {
    std::fprintf(p->out, NO_SIZE_FMT, ERASE_LINE, static_cast<unsigned long long>(packets), rate);
  }
  std::fflush(p->out);
  p->shown = true;
}

void progress_finish(Progress* p) {
  if (p->out != nullptr && p->shown) {
    std::fputs(ERASE_LINE, p->out);
    std::fflush(p->out);
  }
  p->shown = false;
}

bool progress_wanted(bool stderr_is_terminal, bool stdout_is_terminal, int debug, uint64_t min_syns,
                     int status_every) {
  if (!stderr_is_terminal) return false;
  const bool prints_while_reading = debug != 0 || min_syns != 0 || status_every != 0;
  return !(stdout_is_terminal && prints_while_reading);
}

bool progress_wanted(const Settings& s) {
  return progress_wanted(isatty(STDERR_FILENO) == 1, isatty(STDOUT_FILENO) == 1, s.debug,
                         s.min_syns, s.status_every);
}

int read_savefile(pcap_t* pcap, pcap_handler handler, u_char* user, const Settings& s) {
  if (!progress_wanted(s)) return pcap_loop(pcap, -1, handler, user);
  return read_savefile_in_batches(pcap, handler, user, stderr, monotonic_seconds);
}

ProgressLine::ProgressLine(int64_t file_size, const Settings& s) {
  progress_start(&progress_, progress_wanted(s) ? stderr : nullptr, file_size,
                 monotonic_seconds());
}

void ProgressLine::tick(uint64_t packets, int64_t offset) {
  if (progress_.out == nullptr) return;
  const double now = monotonic_seconds();
  if (progress_due(&progress_, now)) progress_tick(&progress_, now, packets, offset);
}

int read_savefile_in_batches(pcap_t* pcap, pcap_handler handler, u_char* user, FILE* out,
                             double (*clock)()) {
  FILE* file = pcap_file(pcap);
  Progress progress;
  progress_start(&progress, out, savefile_size(file), clock());
  // pcap_loop() over a savefile is pcap_dispatch() repeated until it returns 0 (end
  // of file) or less (an error, or a break); batches give the clock its turn.
  uint64_t packets = 0;
  int rc;
  while ((rc = pcap_dispatch(pcap, PROGRESS_BATCH, handler, user)) > 0) {
    packets += static_cast<uint64_t>(rc);
    const double now = clock();
    // ftell() asks the kernel for the position, a system call that costs more than
    // a thousand packets: only when the line is drawn.
    if (progress_due(&progress, now))
      progress_tick(&progress, now, packets,
                    file != nullptr ? static_cast<int64_t>(std::ftell(file)) : 0);
  }
  progress_finish(&progress);
  return rc;
}
