// Figures with units: the unit that fits, three significant figures, whole values
// whole, the step to the next unit where rounding reaches it.
#include "report/readable.h"

#include <gtest/gtest.h>

namespace {

TEST(Readable, TimesAndSizesTakeTheUnitThatFits) {
  const struct {
    double us;
    const char* text;
  } times[] = {{0, "0 µs"},          {13, "13 µs"},        {13.5, "13.5 µs"},
               {0.25, "0.25 µs"},    {999, "999 µs"},      {999.4, "999 µs"},
               {999.7, "1.00 ms"},   {1250, "1.25 ms"},    {15340, "15.3 ms"},
               {300655, "301 ms"},   {2.5e6, "2.50 s"},    {4213e6, "4213 s"},
               {-1, "-"}};
  for (const auto& t : times) EXPECT_EQ(readable_time(t.us), t.text) << t.us;
  const struct {
    double bytes;
    const char* text;
  } sizes[] = {{0, "0 B"},           {512, "512 B"},      {2243.5, "2.24 kB"},
               {1200, "1.20 kB"},    {60001, "60.0 kB"},  {15e6, "15.0 MB"},
               {4294967295.0, "4.29 GB"}};
  for (const auto& s : sizes) EXPECT_EQ(readable_bytes(s.bytes), s.text) << s.bytes;
}

TEST(Readable, UtcTextAndColumns) {
  EXPECT_EQ(utc_text(Timeval{1796866260, 512000}), "2026-12-10T01:31:00.512000Z");
  EXPECT_EQ(utc_text(Timeval{0, -1}), "");
  // "µ" is two bytes and one column.
  EXPECT_EQ(display_width("13 µs"), 5u);
  EXPECT_EQ(pad_to("13 µs", 8), "13 µs   ");
  EXPECT_EQ(pad_to("longer than", 4), "longer than");
}

}  // namespace
