#include "report/row_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

RowWriter::RowWriter(FILE* out, RowFormat format, const char* const* names, size_t count)
    : out_(out), format_(format), count_(count), names_(names), rows_(new char[BUFFER]) {
  for (size_t i = 0; i <= count; ++i) {
    std::string text;
    if (format == RowFormat::CSV)
      text = i == 0 ? "" : ",";
    else
      text = std::string(i == 0 ? "{\"" : ",\"") + (i < count ? names[i] : "") + "\":";
    Prefix p{};
    // The names are the program's own, all short; a longer one would be cut.
    p.size = std::min(text.size(), PREFIX);
    std::memcpy(p.bytes, text.data(), p.size);
    prefixes_.push_back(p);
  }
}

void RowWriter::spill() {
  if (used_ != 0) std::fwrite(rows_.get(), 1, used_, out_);
  used_ = 0;
}

void RowWriter::header() {
  if (format_ != RowFormat::CSV) return;
  for (size_t i = 0; i < count_; ++i) text(names_[i]);
  end_row();
}

// RFC 4180: a field holding a comma, a quote or a line break is quoted, and its
// quotes doubled.
void RowWriter::put_csv_text(const char* value) {
  const size_t n = std::strcspn(value, ",\"\r\n");
  if (value[n] == '\0') {
    put(value, n);
    return;
  }
  put('"');
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p == '"') put('"');
    put(*p);
  }
  put('"');
}

// RFC 8259: quotes, backslashes and control characters escaped; other bytes as given.
void RowWriter::put_json_text(const char* value) {
  put('"');
  for (const char* p = value; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      put('\\');
      put(static_cast<char>(c));
    } else if (c < 0x20) {
      static constexpr char HEX[] = "0123456789abcdef";
      const char escape[] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 15]};
      put(escape, sizeof escape);
    } else {
      put(static_cast<char>(c));
    }
  }
  put('"');
}

void RowWriter::text(const char* value) {
  begin_field();
  if (format_ == RowFormat::CSV)
    put_csv_text(value);
  else
    put_json_text(value);
}

void RowWriter::word(const char* value, size_t size) {
  begin_field();
  const bool json = format_ != RowFormat::CSV;
  if (json) put('"');
  put(value, size);
  if (json) put('"');
}

// Straight into the buffer: begin_field left room for it.
template <typename T>
void RowWriter::put_number(T value) {
  begin_field();
  char* const rows = rows_.get();
  const std::to_chars_result r = std::to_chars(rows + used_, rows + BUFFER, value);
  used_ = static_cast<size_t>(r.ptr - rows);
}

void RowWriter::number(int64_t value) { put_number(value); }

void RowWriter::number(uint64_t value) { put_number(value); }

void RowWriter::boolean(bool value) {
  begin_field();
  if (value)
    put("true", 4);
  else
    put("false", 5);
}

void RowWriter::null() {
  begin_field();
  if (format_ != RowFormat::CSV) put("null", 4);
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
  put(digits, static_cast<size_t>(r.ptr - digits));
}

void RowWriter::end_row() {
  // A row that missed fields (a programming error) is completed with nulls, so the
  // field count never varies.
  while (field_ < count_) null();
  // Lines end in LF alone, not RFC 4180's CRLF: sort, cut and awk would take the CR
  // for part of the last field, and CSV readers accept either.
  if (format_ == RowFormat::CSV)
    put('\n');
  else
    put("}\n", 2);
  field_ = 0;
}
