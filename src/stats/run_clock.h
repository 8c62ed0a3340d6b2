// The run's clock: when the run started and ended, and the window before which
// packets are not counted.
#pragma once

#include <cstdint>

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

extern RunClock g_clock;

// In a file run the packets are the clock: the first one's time is the start, the
// latest one's the end.
inline void clock_file_packet(const Timeval& now) {
  if (!g_clock.first_packet_seen) {
    g_clock.start_time = now;
    g_clock.first_packet_seen = true;
  }
  g_clock.end_time = now;
}

// Opens the window at the first packet: one second before the run's start or, with
// -I, at the given time of day on the first packet's local date (or on the given
// date).
void open_window(const Timeval& first_packet);

// Only whole seconds are compared: the window is a "since this second" filter.
inline bool in_window(const Timeval& now) { return g_clock.window_start.sec < now.sec; }

// A live run ends when its report starts. One that saw no packet never opened its
// window: it opens as the first packet would have opened it, one second before the
// start, so the reported length is the same with or without traffic.
void end_live_clock(const Timeval& now);

// The run's length in milliseconds, from the window's start to the end.
int32_t run_length_ms();
