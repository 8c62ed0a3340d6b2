#include "stats/run_clock.h"

#include <ctime>

#include "common/settings.h"

RunClock g_clock;

void open_window(const Timeval& first_packet) {
  const Settings& s = g_settings;
  if (!s.has_since) {
    g_clock.window_start = Timeval{g_clock.start_time.sec - 1, g_clock.start_time.usec};
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
  g_clock.window_start = Timeval{static_cast<int64_t>(mktime(&local)), 0};
}

void end_live_clock(const Timeval& now) {
  g_clock.end_time = now;
  if (g_clock.packet_count == 0)
    g_clock.window_start = Timeval{g_clock.start_time.sec - 1, g_clock.start_time.usec};
}

int32_t run_length_ms() { return msecs_between(g_clock.window_start, g_clock.end_time); }
