// Rows for scripts, one per line: CSV (RFC 4180 quoting) with a header row, or one JSON
// object per line, both from the same calls. Hand-written rather than built with a
// JSON library: a busy capture writes hundreds of thousands of rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

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
  void number(int64_t value);
  void number(uint64_t value);
  void real(double value);  // integral values are written without a fraction
  void boolean(bool value);
  void null();
  void end_row();

  FILE* stream() const { return out_; }

 private:
  void begin_field();

  FILE* out_;
  RowFormat format_;
  const char* const* names_;
  size_t count_;
  size_t field_ = 0;
  std::string line_;
};
