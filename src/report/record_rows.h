// The rows of the record and interval files: their fields, in order, and how a
// connection record or an interval becomes a row.
#pragma once

#include <cstddef>

#include "common/addr.h"
#include "report/row_writer.h"
#include "stats/intervals.h"
#include "track/addr_pool.h"
#include "track/records.h"

extern const char* const CONN_FIELDS[];
extern const size_t CONN_FIELD_COUNT;
extern const char* const INTERVAL_FIELDS[];
extern const size_t INTERVAL_FIELD_COUNT;

// The words the rows use.
const char* state_name(RecordState state);
const char* party_name(Party party);  // nullptr for Party::NONE

// The text of the IPv4 address written last in each address column of a file of
// records: the server's is nearly always the same, and a client's often repeats, so
// most records need no conversion. One per file.
struct ConnRowCache {
  struct Column {
    bool valid = false;
    IpAddr addr;
    AddrText text;
    size_t size = 0;
  };
  Column client;
  Column server;
};

// One record as a row; its IPv6 addresses are read from `pool`.
void write_conn_row(RowWriter& w, const AddrPool& pool, ConnRowCache& cache, const ConnRecord& r);
// One interval of the monitor of `port`: each watched port has a row per interval.
void write_interval_row(RowWriter& w, const IntervalRow& r, uint16_t port);
