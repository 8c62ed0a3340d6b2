// The rows of the record and interval files: their fields, in order, and how a
// connection record or an interval becomes a row.
#pragma once

#include <cstddef>

#include "report/row_writer.h"
#include "stats/intervals.h"
#include "track/records.h"

extern const char* const CONN_FIELDS[];
extern const size_t CONN_FIELD_COUNT;
extern const char* const INTERVAL_FIELDS[];
extern const size_t INTERVAL_FIELD_COUNT;

// The words the rows use.
const char* state_name(RecordState state);
const char* party_name(Party party);  // nullptr for Party::NONE

void write_conn_row(RowWriter& w, const ConnRecord& r);
void write_interval_row(RowWriter& w, const IntervalRow& r);
