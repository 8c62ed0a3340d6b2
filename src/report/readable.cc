#include "report/readable.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

// Three significant figures of a value from 1 up to 1000 (and whole numbers above).
std::string three_figures(double v, const char* unit) {
  char text[64];
  if (v < 10)
    std::snprintf(text, sizeof text, "%.2f %s", v, unit);
  else if (v < 100)
    std::snprintf(text, sizeof text, "%.1f %s", v, unit);
  else
    std::snprintf(text, sizeof text, "%.0f %s", v, unit);
  return text;
}

// `v` in the largest of `units` (each 1000 times the one before) in which it reads
// at least 1, rounding included: 999.7 µs reads "1.00 ms". Whole values in the first
// unit print whole ("512 B", "13 µs").
std::string in_units(double v, const char* const* units, int count) {
  if (!std::isfinite(v) || v < 0) return "-";
  int u = 0;
  while (u + 1 < count && v >= 999.5) {
    v /= 1000;
    ++u;
  }
  if (u == 0 && std::floor(v) == v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f %s", v, units[0]);
    return text;
  }
  return three_figures(v, units[u]);
}

}  // namespace

std::string readable_time(double us) {
  static const char* const UNITS[] = {"µs", "ms", "s"};
  return in_units(us, UNITS, 3);
}

std::string readable_bytes(double bytes) {
  static const char* const UNITS[] = {"B", "kB", "MB", "GB", "TB"};
  return in_units(bytes, UNITS, 5);
}

std::string utc_text(const Timeval& t) {
  const time_t secs = static_cast<time_t>(t.sec);
  struct tm utc;
  if (t.usec < 0 || t.usec > 999999 || gmtime_r(&secs, &utc) == nullptr) return "";
  char text[64];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  if (n == 0) return "";
  std::snprintf(text + n, sizeof text - n, ".%06dZ", static_cast<int>(t.usec));
  return text;
}

size_t display_width(const std::string& text) {
  size_t n = 0;
  for (const unsigned char c : text) n += (c & 0xc0) != 0x80;
  return n;
}

std::string pad_to(const std::string& text, size_t width) {
  const size_t w = display_width(text);
  return w >= width ? text : text + std::string(width - w, ' ');
}
