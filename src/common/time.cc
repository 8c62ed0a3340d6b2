#include "common/time.h"

#include <sys/time.h>

int32_t msecs_between(const Timeval& earlier, const Timeval& later, bool* backwards) {
  // Unsigned arithmetic: hostile capture files may carry any 64-bit values, and a
  // wrapped difference is still defined here.
  int64_t secs =
      static_cast<int64_t>(static_cast<uint64_t>(later.sec) - static_cast<uint64_t>(earlier.sec));
  int64_t usecs =
      static_cast<int64_t>(static_cast<uint64_t>(later.usec) - static_cast<uint64_t>(earlier.usec));
  if (usecs < 0) {
    secs = static_cast<int64_t>(static_cast<uint64_t>(secs) - 1);
    usecs += 1000000;
  }
  if (secs < 0 || usecs < 0) {
    if (backwards != nullptr) *backwards = true;
    return 0;
  }
  uint64_t ms = static_cast<uint64_t>(secs) * 1000u + static_cast<uint64_t>(usecs) / 1000u;
  return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

int64_t usecs_of(const Timeval& t) {
  return static_cast<int64_t>(static_cast<uint64_t>(t.sec) * 1000000u +
                              static_cast<uint64_t>(t.usec));
}

Timeval timeval_of_usecs(int64_t us) {
  Timeval t{us / 1000000, us % 1000000};
  if (t.usec < 0) {
    t.usec += 1000000;
    t.sec -= 1;
  }
  return t;
}

int64_t usecs_between(const Timeval& earlier, const Timeval& later) {
  const int64_t us = static_cast<int64_t>(static_cast<uint64_t>(usecs_of(later)) -
                                          static_cast<uint64_t>(usecs_of(earlier)));
  return us < 0 ? 0 : us;
}

Timeval wall_clock_now() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return Timeval{tv.tv_sec, tv.tv_usec};
}
