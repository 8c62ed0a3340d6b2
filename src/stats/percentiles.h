// Percentiles of the counted connections' times and sizes, gathered from their
// records as they leave, for the JSON report.
#pragma once

#include "common/log_histogram.h"
#include "track/records.h"

struct RecordPercentiles {
  LogHistogram duration_us;
  LogHistogram handshake_us;
  LogHistogram fin_to_fin_us;
  LogHistogram client_bytes;
  LogHistogram server_bytes;
};

// Adds what the record knows, when it is of a counted connection.
void percentiles_add(RecordPercentiles& p, const ConnRecord& record);

// Takes every histogram's memory now, so that no record has to find any.
void percentiles_reserve(RecordPercentiles& p);
