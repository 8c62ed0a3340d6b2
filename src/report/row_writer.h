// Rows for scripts, one per line: CSV (RFC 4180 quoting) with a header row, or one JSON
// object per line, both from the same calls (RowWriter), and for the connection
// records a faster cursor over the same buffer (RowCursor). Hand-written rather than
// built with a JSON library: a busy capture writes hundreds of thousands of rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/settings.h"

class RowCursor;

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
  void word(const char* value) { word(value, std::strlen(value)); }
  void word(const char* value, size_t size);
  void number(int64_t value);
  void number(uint64_t value);
  void real(double value);  // integral values are written without a fraction
  void boolean(bool value);
  void null();
  void end_row();

  // Hands the rows built so far to the stream (which may still buffer them). Rows
  // go out by themselves in blocks, and when the writer is destroyed.
  void flush() { spill(); }
  ~RowWriter() { spill(); }
  RowWriter(const RowWriter&) = delete;
  RowWriter& operator=(const RowWriter&) = delete;

  FILE* stream() const { return out_; }

 private:
  friend class RowCursor;

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
    if (BUFFER - used_ < ROOM) spill();
    char* const at = rows_.get() + used_;
    if (format_ == RowFormat::CSV) {
      // A comma before every field but the first.
      *at = ',';
      used_ += field_ != 0;
    } else {
      const Prefix& p = prefixes_[field_ < count_ ? field_ : count_];
      std::memcpy(at, p.bytes, PREFIX);
      used_ += p.size;
    }
    field_++;
  }
  template <typename T>
  void put_number(T value);
  // Appends to the row being built; a row longer than the buffer goes out in parts.
  void put(const char* s, size_t n) {
    if (n > BUFFER - used_) {
      spill();
      if (n > BUFFER) {
        std::fwrite(s, 1, n, out_);
        return;
      }
    }
    std::memcpy(rows_.get() + used_, s, n);
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
  // Rows as they are built, written out in blocks: a plain buffer, not a
  // std::string and not a write per row, because appending sixteen short fields a
  // row is most of what a record costs.
  static constexpr size_t BUFFER = 1 << 16;
  std::unique_ptr<char[]> rows_;
  size_t used_ = 0;
};

// The digits of the records' numbers, formed inline: a record is ten of them.
namespace row_digits {

// How many digits a value has: log10 from the count of its bits (1233 / 4096 is
// just above log10(2)), corrected by one comparison.
inline size_t count(uint64_t value) {
  // clang-format off
  static constexpr uint64_t POWERS[20] = {
      1u, 10u, 100u, 1000u, 10000u, 100000u, 1000000u, 10000000u, 100000000u, 1000000000u,
      10000000000u, 100000000000u, 1000000000000u, 10000000000000u, 100000000000000u,
      1000000000000000u, 10000000000000000u, 100000000000000000u, 1000000000000000000u,
      10000000000000000000u};
  // clang-format on
  const uint64_t v = value | 1;  // 0 has one digit, as 1 has
  const unsigned bits = 64u - static_cast<unsigned>(__builtin_clzll(v));
  const unsigned t = bits * 1233u >> 12;
  return t + 1 - (v < POWERS[t] ? 1 : 0);
}

// The eight digits of a value below 10^8, leading zeros included, as eight ASCII
// bytes in the order they are written: computed in the lanes of one 64-bit word
// (halves of four, pairs, single digits), without a branch, since the lengths of
// real values are too irregular to predict.
inline uint64_t eight_swar(uint32_t value) {
  const uint64_t halves = value / 10000 | static_cast<uint64_t>(value % 10000) << 32;
  const uint64_t hundreds = (halves * 10486 >> 20) & 0x0000007F0000007Full;  // x / 100
  const uint64_t pairs = hundreds | (halves - hundreds * 100) << 16;
  const uint64_t tens = (pairs * 103 >> 10) & 0x000F000F000F000Full;  // x / 10
  uint64_t digits = (tens | (pairs - tens * 10) << 8) + 0x3030303030303030ull;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  digits = __builtin_bswap64(digits);
#endif
  return digits;
}

}  // namespace row_digits

// One row written through a cursor kept in a local variable, with room for the
// whole row taken once: the records' rows, hundreds of thousands a run, whose fields
// are all numbers, words and nulls. Fields must come in order; done() ends the row.
class RowCursor {
 public:
  explicit RowCursor(RowWriter& w) : w_(w) { start(); }
  RowCursor(const RowCursor&) = delete;
  RowCursor& operator=(const RowCursor&) = delete;

  void number(uint64_t value) {
    separate();
    digits(value);
  }
  void number(int64_t value) {
    if (value >= 0) return number(static_cast<uint64_t>(value));
    separate();
    *at_++ = '-';
    digits(static_cast<uint64_t>(-(value + 1)) + 1);
  }
  // A word held in an array of N bytes (its text and what follows it): copied as
  // one block of N bytes.
  template <size_t N>
  void word_block(const char (&text)[N], size_t size) {
    static_assert(N <= MAX_WORD, "a word array fits the fast copy");
    separate();
    *at_ = '"';
    at_ += json_;
    std::memcpy(at_, text, N);
    at_ += size;
    *at_ = '"';
    at_ += json_;
  }
  void word(const char* value, size_t size) {
    if (size >= MAX_WORD) return long_word(value, size);
    separate();
    *at_ = '"';
    at_ += json_;
    char block[MAX_WORD] = {};
    std::memcpy(block, value, size);
    std::memcpy(at_, block, MAX_WORD);
    at_ += size;
    *at_ = '"';
    at_ += json_;
  }
  void null() {
    separate();
    std::memcpy(at_, "null", 4);
    at_ += json_ ? 4 : 0;
  }
  void boolean(bool value) {
    separate();
    std::memcpy(at_, value ? "true " : "false", 5);
    at_ += value ? 4 : 5;
  }
  // Ends the row (any field not given is null).
  void done() {
    while (field_ < w_.count_) null();
    w_.used_ = static_cast<size_t>(at_ - w_.rows_.get());
    w_.field_ = field_;
    w_.end_row();
  }

 private:
  // Words up to this long take the fast copy: addresses, the fixed words.
  static constexpr size_t MAX_WORD = 64;
  static constexpr size_t FIELD_ROOM = RowWriter::PREFIX + MAX_WORD + 2;

  void start() {
    const size_t row = (w_.count_ + 1) * FIELD_ROOM;
    if (RowWriter::BUFFER - w_.used_ < row) w_.spill();
    at_ = w_.rows_.get() + w_.used_;
    // The lines the next rows will write: between two rows the capture file streams
    // through the caches, and a write to a line that is not there waits for it.
    __builtin_prefetch(at_ + 256, 1);
    __builtin_prefetch(at_ + 320, 1);
    __builtin_prefetch(at_ + 384, 1);
    field_ = w_.field_;
    json_ = w_.format_ != RowFormat::CSV;
  }
  // The digits, eight at a time without a branch (row_digits::eight_swar), stored
  // straight into the row: the first piece loses its leading zeros by a shift.
  [[gnu::always_inline]] void digits(uint64_t value) {
    uint32_t first;
    uint32_t rest[2];
    int pieces = 0;
    if (value < 100000000) {
      first = static_cast<uint32_t>(value);
    } else if (value < 10000000000000000) {
      first = static_cast<uint32_t>(value / 100000000);
      rest[pieces++] = static_cast<uint32_t>(value % 100000000);
    } else {
      first = static_cast<uint32_t>(value / 10000000000000000);
      rest[pieces++] = static_cast<uint32_t>(value / 100000000 % 100000000);
      rest[pieces++] = static_cast<uint32_t>(value % 100000000);
    }
    const size_t n = row_digits::count(first);
    uint64_t text = row_digits::eight_swar(first);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    text <<= 8 * (8 - n);
#else
    text >>= 8 * (8 - n);
#endif
    std::memcpy(at_, &text, 8);
    at_ += n;
    for (int i = 0; i < pieces; ++i) {
      text = row_digits::eight_swar(rest[i]);
      std::memcpy(at_, &text, 8);
      at_ += 8;
    }
  }
  void separate() {
    if (!json_) {
      *at_ = ',';
      at_ += field_ != 0;
    } else {
      const RowWriter::Prefix& p = w_.prefixes_[field_ < w_.count_ ? field_ : w_.count_];
      std::memcpy(at_, p.bytes, RowWriter::PREFIX);
      at_ += p.size;
    }
    ++field_;
  }
  // A word too long for the fast copy goes through the writer, which checks its room.
  // Kept out of line: it is rare, and inlined at the calls with short constant words
  // it only draws the compiler's warnings about reading past them.
  [[gnu::noinline]] void long_word(const char* value, size_t size) {
    w_.used_ = static_cast<size_t>(at_ - w_.rows_.get());
    w_.field_ = field_;
    w_.word(value, size);
    start();
  }

  RowWriter& w_;
  char* at_ = nullptr;
  size_t field_ = 0;
  bool json_ = false;
};
