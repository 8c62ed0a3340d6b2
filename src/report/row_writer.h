// Rows for scripts, one per line: CSV (RFC 4180 quoting) with a header row, or one JSON
// object per line, both from the same calls. Hand-written rather than built with a
// JSON library: a busy capture writes hundreds of thousands of rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/settings.h"

class RowWriter {
 public:
  // `names` lists the fields of every row, in order; it must outlive the writer.
  RowWriter(FILE* out, RowFormat format, const char* const* names, size_t count);

  // CSV: the header row of names. JSON lines have none.
  void header();

  // The fields of one row, in the order of the names; end_row() writes it. Every
  // row has every field: null() is an empty CSV field and a JSON null.
  void text(const char* value);
  // Text known to hold nothing that CSV quotes or JSON escapes (an address, a fixed
  // word): written without looking for it.
  void word(const char* value);
  void number(int64_t value);
  void number(uint64_t value);
  void real(double value);  // integral values are written without a fraction
  void boolean(bool value);
  void null();
  void end_row();

  FILE* stream() const { return out_; }

 private:
  // The longest field name, and the room the buffer keeps for a field's prefix and
  // a number, so that neither needs a check of its own.
  static constexpr size_t MAX_NAME = 40;
  static constexpr size_t PREFIX = MAX_NAME + 8;
  static constexpr size_t ROOM = PREFIX + 32;

  struct Prefix {
    char bytes[PREFIX];  // copied whole: a copy of known size is a few moves
    size_t size;
  };

  void begin_field() {
    if (sizeof line_ - used_ < ROOM) spill();
    const Prefix& p = prefixes_[field_ < count_ ? field_ : count_];
    std::memcpy(line_ + used_, p.bytes, PREFIX);
    used_ += p.size;
    field_++;
  }
  template <typename T>
  void put_number(T value);
  // Appends to the row being built; a row longer than the buffer goes out in parts.
  void put(const char* s, size_t n) {
    if (n > sizeof line_ - used_) {
      spill();
      if (n > sizeof line_) {
        std::fwrite(s, 1, n, out_);
        return;
      }
    }
    std::memcpy(line_ + used_, s, n);
    used_ += n;
  }
  void put(char c) { put(&c, 1); }
  void spill();
  void put_csv_text(const char* value);
  void put_json_text(const char* value);

  FILE* out_;
  RowFormat format_;
  size_t count_;
  // What goes before each field: a comma in CSV, the quoted name in JSON. The last
  // entry serves fields beyond the names (none are written).
  std::vector<Prefix> prefixes_;
  const char* const* names_;
  size_t field_ = 0;
  // The row being built: a plain buffer, not a std::string, because appending
  // sixteen short fields a row is most of what a record costs.
  char line_[1024];
  size_t used_ = 0;
};
