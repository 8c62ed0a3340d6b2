// Rows for scripts: whatever a text field holds, a CSV reader and a JSON parser get
// back the same fields, and every row has every field.
#include "report/row_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "testlib/captured_stream.h"
#include "testlib/rows.h"

namespace {

const char* const NAMES[] = {"text", "count", "share", "flag", "missing"};

// Text fields that need quoting or escaping, and some that do not.
const char* const TEXTS[] = {
    "10.0.0.1",       "fe80::1",   "a,b",  "say \"hi\"", "two\nlines", "cr\rlf\r\n",
    "", "tab\tand\\slash", "\"", ",", "\x01\x1f control", "caf\xc3\xa9",
};

std::string write_all(RowFormat format) {
  testlib::CapturedStream stream;
  RowWriter w(stream.file(), format, NAMES, 5);
  w.header();
  int64_t n = -3;
  for (const char* text : TEXTS) {
    w.text(text);
    w.number(n);
    w.real(n * 0.25);
    w.boolean(n % 2 == 0);
    w.null();
    w.end_row();
    n += 7;
  }
  w.number(uint64_t{1});  // a short row is completed with nulls
  w.end_row();
  return stream.take();
}

TEST(RowWriter, CsvReadersGetEveryFieldBack) {
  const std::string text = write_all(RowFormat::CSV);
  std::string error;
  const auto records = testlib::parse_csv(text, &error);
  ASSERT_EQ(error, "") << text;
  ASSERT_EQ(records.size(), 1 + std::size(TEXTS) + 1);
  EXPECT_EQ(records[0], (std::vector<std::string>{"text", "count", "share", "flag", "missing"}));
  for (const auto& r : records) EXPECT_EQ(r.size(), 5u) << text;
  int64_t n = -3;
  for (size_t i = 0; i < std::size(TEXTS); ++i, n += 7) {
    SCOPED_TRACE(i);
    const auto& r = records[i + 1];
    EXPECT_EQ(r[0], TEXTS[i]);
    EXPECT_EQ(r[1], std::to_string(n));
    EXPECT_EQ(std::stod(r[2]), n * 0.25);
    EXPECT_EQ(r[3], n % 2 == 0 ? "true" : "false");
    EXPECT_EQ(r[4], "");
  }
  // Plain fields are not quoted, so cut and sort work on them.
  EXPECT_NE(text.find("\n10.0.0.1,-3,-0.75,false,\n"), std::string::npos) << text;
  EXPECT_EQ(records.back(), (std::vector<std::string>{"1", "", "", "", ""}));
}

TEST(RowWriter, JsonLinesParseToTheSameFields) {
  const std::string text = write_all(RowFormat::JSON_LINES);
  std::istringstream in(text);
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), std::size(TEXTS) + 1);  // no header line
  int64_t n = -3;
  for (size_t i = 0; i < std::size(TEXTS); ++i, n += 7) {
    SCOPED_TRACE(i);
    const nlohmann::json& j = lines[i];
    ASSERT_EQ(j.size(), 5u);
    EXPECT_EQ(j["text"], TEXTS[i]);
    EXPECT_EQ(j["count"], n);
    EXPECT_EQ(j["share"].get<double>(), n * 0.25);
    EXPECT_EQ(j["flag"], n % 2 == 0);
    EXPECT_TRUE(j["missing"].is_null());
  }
  EXPECT_EQ(lines.back(), nlohmann::json::parse(
                              R"({"text":1,"count":null,"share":null,"flag":null,"missing":null})"));
}

}  // namespace
