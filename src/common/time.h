// Packet and wall-clock times, and the millisecond interval every measurement uses.
#pragma once

#include <cstdint>

// Seconds and microseconds, both signed 64-bit, so that a libpcap timestamp and a
// gettimeofday() reading fit without loss.
struct Timeval {
  int64_t sec = 0;
  int64_t usec = 0;
};

// Milliseconds from `earlier` to `later`, truncated toward zero and returned as the
// low 32 bits read as a signed number: an interval above 2 147 483 647 ms wraps,
// possibly to a negative value, exactly like the 32-bit sums built from it.
// A backwards interval yields 0 and sets *backwards (when given); the caller traces
// it (msecs_between with a TraceSink, common/trace.h).
int32_t msecs_between(const Timeval& earlier, const Timeval& later, bool* backwards = nullptr);

// Microseconds since the epoch. The arithmetic wraps instead of overflowing: a
// hostile capture may carry any 64-bit time.
int64_t usecs_of(const Timeval& t);

// The time `us` microseconds after the epoch, its microseconds from 0 to 999999
// (before the epoch too): usecs_of's inverse.
Timeval timeval_of_usecs(int64_t us);

// Microseconds from `earlier` to `later`, the finer sibling of msecs_between for
// records: a backwards interval yields 0 (and is not traced), and no 32-bit wrap
// applies.
int64_t usecs_between(const Timeval& earlier, const Timeval& later);

// The wall clock, from gettimeofday().
Timeval wall_clock_now();
