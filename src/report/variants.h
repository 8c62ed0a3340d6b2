// Report variants: the brief report (-V 1), the listing of connections still open
// (-V 999) and the periodic status line (-m).
#pragma once

#include "common/time.h"

// "records, elapsed seconds, records open longer than -m msecs" at time `now`.
void print_status(const Timeval& now);
