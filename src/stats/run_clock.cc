#include "stats/run_clock.h"

#include <ctime>

#include "common/trace.h"

void open_window(RunClock& c, const Settings& s, const Timeval& first_packet) {
  if (!s.has_since) {
    c.window_start = Timeval{c.start_time.sec - 1, c.start_time.usec};
    return;
  }
  time_t secs = static_cast<time_t>(first_packet.sec);
  struct tm local = {};
  if (localtime_r(&secs, &local) == nullptr) local = tm{};
  // The -I text was read into a zeroed record at start-up: a day of the month of 0
  // means it named no date.
  const struct tm& since = s.since_fields;
  if (since.tm_mday != 0) {
    local.tm_mday = since.tm_mday;
    local.tm_mon = since.tm_mon;
    local.tm_year = since.tm_year;
  }
  local.tm_hour = since.tm_hour;
  local.tm_min = since.tm_min;
  local.tm_sec = since.tm_sec;
  c.window_start = Timeval{static_cast<int64_t>(mktime(&local)), 0};
}

void end_live_clock(RunClock& c, const Timeval& now) {
  c.end_time = now;
  if (c.packet_count == 0) c.window_start = Timeval{c.start_time.sec - 1, c.start_time.usec};
}

int32_t run_length_ms(const RunClock& c, FILE* trace, int debug) {
  return traced_msecs_between(trace, debug, c.window_start, c.end_time);
}
