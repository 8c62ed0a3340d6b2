#include "run/process_state.h"

#include "run/capture.h"
#include "run/settings.h"
#include "stats/run_stats.h"
#include "track/conn_table.h"
#include "track/decode.h"

void reset_process_state() {
  g_settings = Settings{};
  g_capture = CaptureState{};
  g_local_addrs.clear();
  reset_run_stats();
  reset_conn_table();
  reset_deferred_segments();
}
