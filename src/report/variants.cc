#include "report/variants.h"

#include <cstdio>

#include "run/capture.h"
#include "run/settings.h"
#include "track/conn_table.h"

void print_status(const Timeval& now) {
  // Before the first packet has been counted the window has no start (the status
  // line of the very first packet comes before it is set): nothing has elapsed yet.
  int32_t elapsed = g_capture.packet_count == 0 ? 0 : msecs_between(g_capture.window_start, now);
  if (elapsed < 0) elapsed = 0;
  int open_long = 0;
  conn_for_each([&](const ConnInfo& rec) {
    if ((rec.state == ESTABLISHED || rec.state == CLOSING) &&
        msecs_between(rec.syn_time, now) > g_settings.status_every)
      open_long++;
  });
  // The elapsed time passes through single precision, as it always has: scripts
  // comparing status lines see the same rounding.
  const float elapsed_f = static_cast<float>(elapsed);
  static constexpr char STATUS_FMT[] = "%lu, %f %d\n";
  std::printf(STATUS_FMT, static_cast<unsigned long>(conn_count()), elapsed_f / 1000.0, open_long);
}
