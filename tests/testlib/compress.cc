#include "testlib/compress.h"

#include <lz4frame.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <stdexcept>

namespace testlib {
namespace {

std::vector<uint8_t> gzip_member(const uint8_t* p, size_t n) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::vector<uint8_t> out(deflateBound(&z, n) + 32);
  z.next_in = const_cast<Bytef*>(p);
  z.avail_in = static_cast<uInt>(n);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::vector<uint8_t> zstd_frame(const uint8_t* p, size_t n) {
  std::vector<uint8_t> out(ZSTD_compressBound(n));
  const size_t m = ZSTD_compress(out.data(), out.size(), p, n, 3);
  if (ZSTD_isError(m)) throw std::runtime_error("ZSTD_compress");
  out.resize(m);
  return out;
}

std::vector<uint8_t> lz4_frame(const uint8_t* p, size_t n) {
  std::vector<uint8_t> out(LZ4F_compressFrameBound(n, nullptr));
  const size_t m = LZ4F_compressFrame(out.data(), out.size(), p, n, nullptr);
  if (LZ4F_isError(m)) throw std::runtime_error("LZ4F_compressFrame");
  out.resize(m);
  return out;
}

std::vector<uint8_t> xz_stream(const uint8_t* p, size_t n) {
  std::vector<uint8_t> out(lzma_stream_buffer_bound(n));
  size_t pos = 0;
  if (lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, p, n, out.data(), &pos, out.size()) !=
      LZMA_OK)
    throw std::runtime_error("lzma_easy_buffer_encode");
  out.resize(pos);
  return out;
}

}  // namespace

std::vector<uint8_t> packed(Packing format, const std::vector<uint8_t>& bytes, int pieces) {
  if (format == Packing::PLAIN) return bytes;
  std::vector<uint8_t> out;
  const size_t step = (bytes.size() + static_cast<size_t>(pieces) - 1) / static_cast<size_t>(pieces);
  for (size_t at = 0; at < bytes.size() || at == 0; at += step) {
    const size_t n = std::min(step, bytes.size() - at);
    std::vector<uint8_t> part;
    switch (format) {
      case Packing::GZIP:
        part = gzip_member(bytes.data() + at, n);
        break;
      case Packing::ZSTD:
        part = zstd_frame(bytes.data() + at, n);
        break;
      case Packing::LZ4:
        part = lz4_frame(bytes.data() + at, n);
        break;
      case Packing::XZ:
        part = xz_stream(bytes.data() + at, n);
        break;
      case Packing::PLAIN:
        break;
    }
    out.insert(out.end(), part.begin(), part.end());
    if (step == 0) break;
  }
  return out;
}

std::string packing_suffix(Packing format) {
  switch (format) {
    case Packing::PLAIN:
      return "";
    case Packing::GZIP:
      return ".gz";
    case Packing::ZSTD:
      return ".zst";
    case Packing::LZ4:
      return ".lz4";
    case Packing::XZ:
      return ".xz";
  }
  return "";
}

}  // namespace testlib
