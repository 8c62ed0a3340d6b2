// The run's clock: when the run started and ended, and the window before which
// packets are not counted.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/settings.h"
#include "common/time.h"

struct RunClock {
  Timeval start_time;              // live: right after the alarm is set; file: the first packet
  Timeval end_time;                // file: the last packet delivered; live: when the report starts
  Timeval window_start;            // packets not newer than this (in whole seconds) are dropped
  bool first_packet_seen = false;  // file runs
  // Packets delivered to the packet handler. 64 bits wide so that a capture of more
  // than 2^32 packets never wraps back to 0, which would open the window again.
  uint64_t packet_count = 0;
};

// In a file run the packets are the clock: the first one's time is the start, the
// latest one's the end.
inline void clock_file_packet(RunClock& c, const Timeval& now) {
  if (!c.first_packet_seen) {
    c.start_time = now;
    c.first_packet_seen = true;
  }
  c.end_time = now;
}

// Opens the window at the first packet: one second before the run's start or, with
// -I, at the given time of day on the first packet's local date (or on the given
// date).
void open_window(RunClock& c, const Settings& s, const Timeval& first_packet);

// Only whole seconds are compared: the window is a "since this second" filter.
inline bool in_window(const RunClock& c, const Timeval& now) {
  return c.window_start.sec < now.sec;
}

// A live run ends when its report starts. One that saw no packet never opened its
// window: it opens as the first packet would have opened it, one second before the
// start, so the reported length is the same with or without traffic.
void end_live_clock(RunClock& c, const Timeval& now);

// The run's length in milliseconds, from the window's start to the end; a backwards
// span is 0, traced on `trace` at -d level 1.
int32_t run_length_ms(const RunClock& c, FILE* trace, int debug);
