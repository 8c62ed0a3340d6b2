// Expiry: records that can no longer change what is reported leave the table, so
// that a run of weeks holds what is open now and not every attempt ever seen.
#pragma once

#include <cstddef>

#include "common/time.h"
#include "stats/monitor.h"

// Walks up to `budget` record numbers of the table from where the last call stopped
// (wrapping at the end), and lets go of every record past its time at `now`:
//  - an attempt without a SYN-ACK for --syn-timeout since its last SYN: it leaves as
//    unanswered, and the report still counts it among the connections the server
//    dropped (Expired::unanswered);
//  - a closing connection whose answering FIN has not come for --closing-timeout
//    since its first FIN (it was measured then);
//  - with --max-age, an established connection that long after its SYN.
// The last two leave as expired. A timeout of 0 never expires anything.
void expire_records(Monitor& m, const Timeval& now, size_t budget);

// How many record numbers a sweep looks at: a tenth of the table, so that a record
// is looked at about every ten sweeps, and at least a chunk's worth.
size_t expiry_budget(const Monitor& m);
