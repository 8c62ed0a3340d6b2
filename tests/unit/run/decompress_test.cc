// The decompressing streams and the read-ahead thread: every format gives back the
// bytes that went in, read in any sizes and fed in any pieces; data cut or damaged
// anywhere give a prefix of them and then a read error that names the format,
// never a crash or a silent end; the read-ahead thread hands over the same bytes
// and the same error, and stops when its reader leaves early.
#include "run/decompress.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "run/byte_stream.h"
#include "run/read_ahead.h"
#include "testlib/compress.h"

using testlib::packed;
using testlib::Packing;

namespace {

// Bytes that compress a little, as a capture does.
std::vector<uint8_t> sample(size_t n) {
  std::mt19937 rng(7);
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i % 251 < 200 ? i / 7 : rng());
  return v;
}

struct ReadOutcome {
  std::vector<uint8_t> bytes;
  bool failed = false;
  std::string error;
};

// Reads the stream to its end or its error, `max` bytes a call.
ReadOutcome read_all(ByteStream& s, size_t max) {
  ReadOutcome o;
  std::vector<uint8_t> buf(max);
  for (;;) {
    const ssize_t n = s.read(buf.data(), buf.size());
    if (n < 0) {
      o.failed = true;
      o.error = s.error();
      // Failed for good.
      EXPECT_EQ(s.read(buf.data(), buf.size()), -1);
      return o;
    }
    if (n == 0) return o;
    o.bytes.insert(o.bytes.end(), buf.begin(), buf.begin() + n);
  }
}

std::unique_ptr<ByteStream> opened(const std::vector<uint8_t>& data, size_t chunk) {
  const Compression c = compression_of(data.data(), data.size());
  return decompressing(c, std::make_unique<MemoryStream>(data.data(), data.size(), chunk));
}

struct Format {
  Packing packing;
  Compression compression;
  const char* unit;  // as the error for cut data names it
};
const Format FORMATS[] = {
    {Packing::GZIP, Compression::GZIP, "the gzip data end inside a member"},
    {Packing::ZSTD, Compression::ZSTD, "the zstd data end inside a frame"},
    {Packing::LZ4, Compression::LZ4, "the lz4 data end inside a frame"},
    {Packing::XZ, Compression::XZ, "the xz data end inside a stream"},
};

TEST(Decompress, EveryFormatInPiecesGivesTheBytesBack) {
  const std::vector<uint8_t> plain = sample(600'000);
  for (const Format& f : FORMATS) {
    for (int pieces : {1, 3}) {
      const std::vector<uint8_t> data = packed(f.packing, plain, pieces);
      ASSERT_EQ(compression_of(data.data(), data.size()), f.compression);
      // Fed a byte at a time and whole; read in odd sizes and large ones.
      for (const auto& [chunk, max] : {std::pair<size_t, size_t>{1, 4093}, {SIZE_MAX, 1},
                                       {777, 65536}, {SIZE_MAX, 1 << 20}}) {
        if (chunk == 1 && pieces == 1) continue;  // the same path, slower
        std::unique_ptr<ByteStream> s = opened(data, chunk);
        const ReadOutcome o = read_all(*s, max);
        EXPECT_FALSE(o.failed) << compression_name(f.compression) << ": " << o.error;
        EXPECT_TRUE(o.bytes == plain) << compression_name(f.compression) << " pieces " << pieces
                                      << " chunk " << chunk << " max " << max;
      }
    }
  }
}

// Cut at every few bytes: what comes out is a prefix of the bytes, then the error.
// Cut exactly between members or frames, the data are whole and end cleanly.
TEST(Decompress, CutDataGiveAPrefixThenAnError) {
  const std::vector<uint8_t> plain = sample(20'000);
  for (const Format& f : FORMATS) {
    const std::vector<uint8_t> data = packed(f.packing, plain, 2);
    const std::vector<uint8_t> first = packed(f.packing, {plain.begin(), plain.begin() + 10'000});
    // From the magic bytes on: fewer are no compressed data at all.
    for (size_t keep = 6; keep < data.size(); keep += 1 + keep / 16) {
      const std::vector<uint8_t> cut(data.begin(), data.begin() + static_cast<ptrdiff_t>(keep));
      std::unique_ptr<ByteStream> s = opened(cut, 512);
      const ReadOutcome o = read_all(*s, 3000);
      ASSERT_LE(o.bytes.size(), plain.size());
      EXPECT_TRUE(std::equal(o.bytes.begin(), o.bytes.end(), plain.begin()))
          << compression_name(f.compression) << " cut at " << keep;
      if (keep == first.size() && f.packing != Packing::XZ) {
        EXPECT_FALSE(o.failed) << keep;
        continue;
      }
      EXPECT_TRUE(o.failed) << compression_name(f.compression) << " cut at " << keep;
      if (keep > first.size() + 32) {
        EXPECT_EQ(o.error, f.unit) << keep;
      }
    }
  }
}

// Damage anywhere is an error of the format's, or at most wrong bytes that the
// capture reader refuses; never a crash, never more bytes than went in.
TEST(Decompress, DamagedDataNeverCrash) {
  const std::vector<uint8_t> plain = sample(30'000);
  std::mt19937 rng(11);
  for (const Format& f : FORMATS) {
    const std::vector<uint8_t> data = packed(f.packing, plain, 2);
    int errors = 0;
    for (int i = 0; i < 60; ++i) {
      std::vector<uint8_t> bad = data;
      bad[4 + rng() % (bad.size() - 4)] ^= static_cast<uint8_t>(1 + rng() % 255);
      std::unique_ptr<ByteStream> s = opened(bad, 4096);
      const ReadOutcome o = read_all(*s, 8192);
      EXPECT_LE(o.bytes.size(), plain.size() + 65536);
      errors += o.failed;
      if (o.failed) {
        EXPECT_FALSE(o.error.empty());
      }
    }
    // gzip and xz check their data's checksums and find nearly all of it; zstd and
    // lz4 frames carry none unless asked to when written.
    if (f.packing == Packing::GZIP || f.packing == Packing::XZ) {
      EXPECT_GT(errors, 40) << compression_name(f.compression);
    }
  }
}

TEST(Decompress, MagicBytesNotNamesTellTheFormat) {
  const struct {
    std::vector<uint8_t> head;
    Compression c;
  } rows[] = {
      {{0x1f, 0x8b, 0x08, 0, 0, 0}, Compression::GZIP},
      {{0x28, 0xb5, 0x2f, 0xfd, 0, 0}, Compression::ZSTD},
      {{0x04, 0x22, 0x4d, 0x18, 0x64, 0x40}, Compression::LZ4},
      {{0xfd, '7', 'z', 'X', 'Z', 0}, Compression::XZ},
      {{0xfd, '7', 'z', 'X', 'Z', 1}, Compression::NONE},
      {{0xd4, 0xc3, 0xb2, 0xa1, 2, 0}, Compression::NONE},  // a classic savefile
      {{0x0a, 0x0d, 0x0d, 0x0a, 0, 0}, Compression::NONE},  // pcapng
      {{0x1f}, Compression::NONE},                          // too short to tell
  };
  for (const auto& r : rows)
    EXPECT_EQ(compression_of(r.head.data(), r.head.size()), r.c) << compression_name(r.c);
}

TEST(PushbackStream, PeekedAndGivenBackBytesAreReadFirst) {
  const std::vector<uint8_t> bytes = sample(100);
  PushbackStream s(std::make_unique<MemoryStream>(bytes.data(), bytes.size(), 7));
  EXPECT_EQ(s.peek(10), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 10));
  uint8_t buf[30];
  ASSERT_EQ(s.read(buf, 30), 10);  // what was looked at, first
  s.unread(buf + 4, 6);
  EXPECT_EQ(s.peek(3), std::vector<uint8_t>(bytes.begin() + 4, bytes.begin() + 7));
  const ReadOutcome o = read_all(s, 13);
  EXPECT_EQ(o.bytes, std::vector<uint8_t>(bytes.begin() + 4, bytes.end()));
}

// A stream whose bytes end in an error, for the read-ahead thread.
class Failing : public ByteStream {
 public:
  explicit Failing(const std::vector<uint8_t>& b) : inner_(b.data(), b.size(), 5000) {}
  ssize_t read(uint8_t* into, size_t max) override {
    const ssize_t n = inner_.read(into, max);
    return n != 0 ? n : fail("broken");
  }

 private:
  MemoryStream inner_;
};

TEST(ReadAhead, HandsOverTheSameBytesAndTheErrorAfterThem) {
  const std::vector<uint8_t> plain = sample(300'000);
  const std::vector<uint8_t> data = packed(Packing::ZSTD, plain, 4);
  for (size_t block : {size_t{64}, size_t{1000}, ReadAhead::BLOCK}) {
    ReadAhead ahead(opened(data, 999), block, 2);
    const ReadOutcome o = read_all(ahead, 4096);
    EXPECT_FALSE(o.failed) << o.error;
    EXPECT_TRUE(o.bytes == plain) << block;
  }
  ReadAhead failing(std::make_unique<Failing>(plain), 4096, 3);
  const ReadOutcome o = read_all(failing, 1000);
  EXPECT_TRUE(o.bytes == plain);
  EXPECT_TRUE(o.failed);
  EXPECT_EQ(o.error, "broken");
}

// A reader that leaves early stops the thread, even one waiting on a pipe that
// never gets another byte.
TEST(ReadAhead, StopsWhenItsReaderLeaves) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "abc", 3), 3);
  {
    ReadAhead ahead(std::make_unique<FdStream>(fds[0], true), 64, 2);
    uint8_t buf[8];
    EXPECT_EQ(ahead.read(buf, sizeof buf), 3);
  }  // waits for the thread, which must notice
  close(fds[1]);
  const std::vector<uint8_t> plain = sample(2'000'000);
  ReadAhead big(std::make_unique<MemoryStream>(plain.data(), plain.size()), 4096, 4);
  uint8_t buf[100];
  EXPECT_EQ(big.read(buf, sizeof buf), 100);
}

}  // namespace
