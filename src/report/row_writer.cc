#include "report/row_writer.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

template <typename T>
void append_number(std::string& line, T value) {
  char digits[32];
  const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, value);
  line.append(digits, r.ptr);
}

// RFC 4180: a field holding a comma, a quote or a line break is quoted, and its
// quotes doubled.
void append_csv_text(std::string& line, const char* value) {
  const bool quoted = value[std::strcspn(value, ",\"\r\n")] != '\0';
  if (!quoted) {
    line += value;
    return;
  }
  line += '"';
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p == '"') line += '"';
    line += *p;
  }
  line += '"';
}

// RFC 8259: quotes, backslashes and control characters escaped; other bytes as given.
void append_json_text(std::string& line, const char* value) {
  line += '"';
  for (const char* p = value; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      line += '\\';
      line += static_cast<char>(c);
    } else if (c < 0x20) {
      static constexpr char HEX[] = "0123456789abcdef";
      line += "\\u00";
      line += HEX[c >> 4];
      line += HEX[c & 15];
    } else {
      line += static_cast<char>(c);
    }
  }
  line += '"';
}

}  // namespace

RowWriter::RowWriter(FILE* out, RowFormat format, const char* const* names, size_t count)
    : out_(out), format_(format), names_(names), count_(count) {
  line_.reserve(512);
}

void RowWriter::header() {
  if (format_ != RowFormat::CSV) return;
  for (size_t i = 0; i < count_; ++i) text(names_[i]);
  end_row();
}

void RowWriter::begin_field() {
  if (format_ == RowFormat::CSV) {
    if (field_ != 0) line_ += ',';
  } else {
    line_ += field_ == 0 ? "{\"" : ",\"";
    line_ += names_[field_];
    line_ += "\":";
  }
  field_++;
}

void RowWriter::text(const char* value) {
  begin_field();
  if (format_ == RowFormat::CSV)
    append_csv_text(line_, value);
  else
    append_json_text(line_, value);
}

void RowWriter::number(int64_t value) {
  begin_field();
  append_number(line_, value);
}

void RowWriter::number(uint64_t value) {
  begin_field();
  append_number(line_, value);
}

void RowWriter::real(double value) {
  // JSON has no infinities and no NaN.
  if (!std::isfinite(value)) return null();
  if (value == std::floor(value) && std::fabs(value) < 9.0e15)
    return number(static_cast<int64_t>(value));
  begin_field();
  // Twelve significant digits: what a percentile computed in binary floating point
  // means, without its last-bit noise (19.85, not 19.849999999999998).
  char digits[32];
  const std::to_chars_result r =
      std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 12);
  line_.append(digits, r.ptr);
}

void RowWriter::boolean(bool value) {
  begin_field();
  line_ += value ? "true" : "false";
}

void RowWriter::null() {
  begin_field();
  if (format_ != RowFormat::CSV) line_ += "null";
}

void RowWriter::end_row() {
  // A row that missed fields (a programming error) is completed with nulls, so the
  // field count never varies.
  while (field_ < count_) null();
  // Lines end in LF alone, not RFC 4180's CRLF: sort, cut and awk would take the CR
  // for part of the last field, and CSV readers accept either.
  line_ += format_ == RowFormat::CSV ? "\n" : "}\n";
  std::fwrite(line_.data(), 1, line_.size(), out_);
  line_.clear();
  field_ = 0;
}
