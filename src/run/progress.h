// Progress line of a long file run: how much of the capture file has been read,
// shown on a terminal only and erased before the report.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>

#include "common/settings.h"

// Packets handed to the handler between two looks at the clock. The clock costs
// far less than one packet, but only packets that pass the capture filter are
// counted, and in a capture of bulk transfers they can be sparse: a batch of a
// thousand keeps the line moving there too.
constexpr int PROGRESS_BATCH = 1024;
// A run shorter than this shows no line at all; a line on screen is refreshed at
// this interval.
constexpr double PROGRESS_DELAY_S = 1.0;
constexpr double PROGRESS_REFRESH_S = 0.25;

struct Progress {
  FILE* out = nullptr;    // the terminal; nullptr: no line
  int64_t file_size = 0;  // bytes; 0 when unknown (standard input, a pipe)
  double start = 0;       // seconds on the clock given to progress_tick
  double next_draw = 0;   // the line is drawn or refreshed from this moment on
  bool shown = false;     // a line is on screen and must be erased
  // A capture set: its number of files (file_size is then the sum of their sizes)
  // and the one being read; 0 for a single file.
  size_t files = 0;
  const char* current = nullptr;
};

// Starts the clock of a run that reads file_size bytes; with out == nullptr
// nothing is ever written.
void progress_start(Progress* p, FILE* out, int64_t file_size, double now);

// Whether the line is to be drawn or refreshed at `now`; cheap enough for every batch.
bool progress_due(const Progress* p, double now);

// Draws or refreshes the line when it is due. `packets` is the number handed to the
// handler so far, `offset` the bytes of the file read so far.
void progress_tick(Progress* p, double now, uint64_t packets, int64_t offset);

// Erases the line, if one is on screen, so that what follows starts on a clean line.
void progress_finish(Progress* p);

// Whether a file run shows the line: only on a terminal, so scripts and pipes see
// exactly the output they always saw, and not when the run itself prints lines to
// the same screen while packets are read (traces, -c and -m lines), which the line
// would garble.
bool progress_wanted(bool stderr_is_terminal, bool stdout_is_terminal, int debug, uint64_t min_syns,
                     int status_every);

// Whether this run shows the line, from its settings and the process's streams.
bool progress_wanted(const Settings& s);

// Reads the whole savefile through `handler`, as pcap_loop(pcap, -1, handler, user)
// does and with its result, showing the progress line when it is wanted.
int read_savefile(pcap_t* pcap, pcap_handler handler, u_char* user, const Settings& s);

// The progress line of a savefile read without libpcap: on standard error when it
// is wanted (progress_wanted for this run), else nowhere.
class ProgressLine {
 public:
  ProgressLine(int64_t file_size, const Settings& s);
  ~ProgressLine() { finish(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // After every PROGRESS_BATCH packets: draws or refreshes the line when it is due.
  void tick(uint64_t packets, int64_t offset);
  // The line of a capture set of `files` files (file_size their sum): the share of
  // their bytes read, and the name of the one being read.
  void set_files(size_t files) { progress_.files = files; }
  void tick(uint64_t packets, int64_t offset, const char* current) {
    progress_.current = current;
    tick(packets, offset);
  }
  // Erases the line, if one is on screen.
  void finish() { progress_finish(&progress_); }

 private:
  Progress progress_;
};

// The loop behind it: batches of PROGRESS_BATCH packets, the line on `out`
// (nullptr: none) timed by `clock` (seconds).
int read_savefile_in_batches(pcap_t* pcap, pcap_handler handler, u_char* user, FILE* out,
                             double (*clock)());
