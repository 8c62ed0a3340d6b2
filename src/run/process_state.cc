#include "run/process_state.h"

#include "common/settings.h"
#include "common/trace.h"
#include "run/capture.h"
#include "run/packet_loop.h"
#include "run/record_output.h"
#include "stats/intervals.h"
#include "stats/percentiles.h"
#include "stats/run_clock.h"
#include "stats/run_stats.h"
#include "track/addr_pool.h"
#include "track/conn_table.h"
#include "track/handshake.h"
#include "track/records.h"

void reset_process_state() {
  g_settings = Settings{};
  g_output = RunOutput{};
  g_capture = CaptureState{};
  g_tracker = TrackerState{};
  g_clock = RunClock{};
  reset_run_stats();
  reset_conn_table();
  reset_addr_pool();
  reset_deferred_segments();
  reset_record_outputs();
  reset_records();
  reset_intervals();
  reset_percentiles();
}
