// Figures as a person reads them: times and sizes with units that fit their values,
// and moments in UTC. The summary and the page print every figure through these,
// so the two always agree.
#pragma once

#include <cstdint>
#include <string>

#include "common/time.h"

// Microseconds in the unit that fits them, to three significant figures:
// "13.5 µs", "1.25 ms", "15.3 ms", "2.50 s", "4213 s".
std::string readable_time(double us);

// A count of bytes in the unit that fits it (powers of 1000), to three significant
// figures: "0 B", "512 B", "1.20 kB", "15.0 MB", "4.29 GB".
std::string readable_bytes(double bytes);

// RFC 3339 in UTC with microseconds, whatever TZ says: "2026-12-10T01:31:00.512000Z";
// empty for a time that has no calendar date.
std::string utc_text(const Timeval& t);

// How many columns a terminal gives the UTF-8 text (one per character).
size_t display_width(const std::string& text);

// The text padded with blanks to `width` columns.
std::string pad_to(const std::string& text, size_t width);
