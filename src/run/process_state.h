// The process-wide records in one place, so a test can start from a clean state.
#pragma once

// Returns the settings, the capture state, the local addresses, the connection
// table, the address pool, the run statistics and the record outputs to their initial
// values (record files still open are closed). Does not close an open capture: tests
// that open one close it themselves.
void reset_process_state();
