// Rows for scripts: whatever a text field holds, a CSV reader and a JSON parser get
// back the same fields, and every row has every field.
#include "report/row_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
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
  w.flush();
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

// The records' fast cursor writes exactly what the plain calls write: numbers of
// every length (at each edge where its digits are formed differently), negative
// ones, short, long and block words, nulls, booleans; and it leaves out no field.
TEST(RowWriter, CursorWritesWhatThePlainCallsWrite) {
  std::vector<uint64_t> values = {0, UINT64_MAX};
  for (uint64_t p = 1; p <= UINT64_MAX / 10; p *= 10) {
    values.push_back(p - 1);
    values.push_back(p);
    values.push_back(p * 10 - 1);
    values.push_back(p + 7);
  }
  const std::string long_word(100, 'w');
  const char* const names[] = {"n",       "signed", "word", "long_word",
                               "block", "missing", "flag", "unset"};
  const char block[16] = "in a block";
  for (RowFormat format : {RowFormat::CSV, RowFormat::JSON_LINES}) {
    SCOPED_TRACE(format == RowFormat::CSV ? "csv" : "json");
    testlib::CapturedStream plain_stream, cursor_stream;
    {
      RowWriter plain(plain_stream.file(), format, names, 8);
      RowWriter fast(cursor_stream.file(), format, names, 8);
      int64_t s = INT64_MIN;
      for (uint64_t v : values) {
        const std::string word = "w" + std::to_string(v % 1000);
        plain.number(v);
        plain.number(s);
        plain.word(word.c_str());
        plain.word(long_word.c_str());
        plain.word(block);
        plain.null();
        plain.boolean(v % 2 == 0);
        plain.end_row();
        RowCursor row(fast);
        row.number(v);
        row.number(s);
        row.word(word.c_str(), word.size());
        row.word(long_word.c_str(), long_word.size());
        row.word_block(block, std::strlen(block));
        row.null();
        row.boolean(v % 2 == 0);
        row.done();  // "unset" is null in both
        s = s / 3 + static_cast<int64_t>(v % 7);
      }
    }  // the writers hand their rows on when they go
    const std::string text = plain_stream.take();
    EXPECT_EQ(cursor_stream.take(), text);
    EXPECT_NE(text.find(std::to_string(UINT64_MAX)), std::string::npos);
    EXPECT_NE(text.find(std::to_string(INT64_MIN)), std::string::npos);
  }
}

}  // namespace
