#include "run/decompress.h"

#include <lz4frame.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>
#include <string>

namespace {

constexpr uint8_t GZIP_MAGIC[] = {0x1f, 0x8b};
constexpr uint8_t ZSTD_MAGIC[] = {0x28, 0xb5, 0x2f, 0xfd};
constexpr uint8_t LZ4_MAGIC[] = {0x04, 0x22, 0x4d, 0x18};  // the frame format, 0x184D2204 LE
constexpr uint8_t XZ_MAGIC[] = {0xfd, '7', 'z', 'X', 'Z', 0x00};

template <size_t N>
bool starts_with(const uint8_t* head, size_t size, const uint8_t (&magic)[N]) {
  return size >= N && std::memcmp(head, magic, N) == 0;
}

// Compressed input read in large blocks; what a decoder has not used yet stays in
// front.
class Input {
 public:
  static constexpr size_t BLOCK = 256 * 1024;

  explicit Input(std::unique_ptr<ByteStream> s) : stream_(std::move(s)), data_(new uint8_t[BLOCK]) {}

  const uint8_t* data() const { return data_.get() + at_; }
  size_t size() const { return len_ - at_; }
  void consume(size_t n) { at_ += n; }
  bool at_end() const { return end_ && size() == 0; }
  // Reads more behind what is left: false at the end of the stream, or on an error
  // (failed()).
  bool fill() {
    if (end_) return false;
    std::memmove(data_.get(), data(), size());
    len_ = size();
    at_ = 0;
    const ssize_t n = stream_->read(data_.get() + len_, BLOCK - len_);
    if (n < 0) failed_ = true;
    if (n <= 0) {
      end_ = true;
      return false;
    }
    len_ += static_cast<size_t>(n);
    return true;
  }
  bool failed() const { return failed_; }
  ByteStream& stream() { return *stream_; }

 private:
  std::unique_ptr<ByteStream> stream_;
  std::unique_ptr<uint8_t[]> data_;
  size_t at_ = 0;
  size_t len_ = 0;
  bool end_ = false;
  bool failed_ = false;
};

// What one call of a format's decoder did.
enum class Step : uint8_t {
  MORE,   // went on, or needs more input; call again
  UNIT,   // a member, frame or stream ended here
  ERROR,  // damaged data: why_ says how
};

// The loop every format shares: decode into the reader's bytes until they are full,
// reading compressed input as it is used up, and telling a clean end (at the end
// of a member, frame or stream) from data cut off inside one. The bytes made
// before an error are read first; the error comes with the next read.
class Decoder : public ByteStream {
 public:
  Decoder(std::unique_ptr<ByteStream> in, const char* format)
      : in_(std::move(in)), format_(format) {}

  ssize_t read(uint8_t* into, size_t max) override {
    if (!pending_.empty()) return fail(pending_);
    size_t produced = 0;
    while (produced < max) {
      if (in_.size() == 0 && !ended_ && !fill()) break;  // a read error
      if (!inside_ && in_.size() == 0 && ended_) break;  // a clean end
      if (!inside_) {
        if (!begin_unit()) {
          pending_ = why_;
          break;
        }
        inside_ = true;
      }
      size_t used = in_.size();
      size_t out = max - produced;
      const Step step = decode(in_.data(), &used, into + produced, &out, ended_);
      in_.consume(used);
      produced += out;
      if (step == Step::ERROR) {
        pending_ = std::string(format_) + ": " + why_;
        break;
      }
      if (step == Step::UNIT) {
        inside_ = false;
        continue;
      }
      if (used != 0 || out != 0) continue;
      // No progress: the decoder needs input it does not have.
      if (ended_) {
        pending_ = std::string("the ") + format_ + " data end inside a " + unit_name();
        break;
      }
      if (!fill()) break;  // a read error
    }
    if (produced == 0 && !pending_.empty()) return fail(pending_);
    return static_cast<ssize_t>(produced);
  }
  void cancel_on(const std::atomic<bool>* flag) override { in_.stream().cancel_on(flag); }

 protected:
  // Decodes from in[0, *in_size) into out[0, *out_size) and sets both to what it
  // used and made; `ended`: no input follows what it is given.
  virtual Step decode(const uint8_t* in, size_t* in_size, uint8_t* out, size_t* out_size,
                      bool ended) = 0;
  // Before a member, frame or stream: false (why_ set) when what follows cannot
  // begin one.
  virtual bool begin_unit() { return true; }
  virtual const char* unit_name() const = 0;

  Input& input() { return in_; }
  std::string why_;

 private:
  // More compressed input, or its end; false only on a read error of the
  // compressed stream, which is then pending.
  bool fill() {
    if (in_.fill()) return true;
    ended_ = true;
    if (in_.failed()) pending_ = in_.stream().error();
    return !in_.failed();
  }

  Input in_;
  const char* format_;
  bool inside_ = false;  // inside a member, frame or stream
  bool ended_ = false;   // the compressed input has ended
  std::string pending_;  // the error that the next read returns
};

class GzipDecoder : public Decoder {
 public:
  explicit GzipDecoder(std::unique_ptr<ByteStream> in) : Decoder(std::move(in), "gzip") {
    // 16 + 15: a gzip header and trailer, the largest window.
    ok_ = inflateInit2(&z_, 16 + MAX_WBITS) == Z_OK;
  }
  ~GzipDecoder() override {
    if (ok_) inflateEnd(&z_);
  }

 protected:
  const char* unit_name() const override { return "member"; }
  bool begin_unit() override {
    // Another member must begin with the magic bytes: anything else after the last
    // member is damage, not a capture's bytes.
    while (input().size() < 2 && input().fill()) {
    }
    if (!ok_ || !starts_with(input().data(), input().size(), GZIP_MAGIC)) {
      why_ = "gzip: what follows a member is not another member";
      return false;
    }
    if (started_) inflateReset(&z_);
    started_ = true;
    return true;
  }
  Step decode(const uint8_t* in, size_t* in_size, uint8_t* out, size_t* out_size,
              bool) override {
    // zlib counts in 32 bits.
    const uInt in_n = static_cast<uInt>(std::min<size_t>(*in_size, UINT32_MAX));
    const uInt out_n = static_cast<uInt>(std::min<size_t>(*out_size, UINT32_MAX));
    z_.next_in = const_cast<Bytef*>(in);
    z_.avail_in = in_n;
    z_.next_out = out;
    z_.avail_out = out_n;
    const int rc = inflate(&z_, Z_NO_FLUSH);
    *in_size = in_n - z_.avail_in;
    *out_size = out_n - z_.avail_out;
    if (rc == Z_STREAM_END) return Step::UNIT;
    if (rc == Z_OK || rc == Z_BUF_ERROR) return Step::MORE;
    why_ = z_.msg != nullptr ? z_.msg : "damaged data";
    return Step::ERROR;
  }

 private:
  z_stream z_{};
  bool ok_ = false;
  bool started_ = false;
};

class ZstdDecoder : public Decoder {
 public:
  explicit ZstdDecoder(std::unique_ptr<ByteStream> in)
      : Decoder(std::move(in), "zstd"), ds_(ZSTD_createDStream()) {
    if (ds_ != nullptr) ZSTD_initDStream(ds_);
  }
  ~ZstdDecoder() override { ZSTD_freeDStream(ds_); }

 protected:
  const char* unit_name() const override { return "frame"; }
  bool begin_unit() override {
    if (ds_ != nullptr) return true;
    why_ = "zstd: no memory for the decoder";
    return false;
  }
  Step decode(const uint8_t* in, size_t* in_size, uint8_t* out, size_t* out_size,
              bool) override {
    ZSTD_inBuffer ib{in, *in_size, 0};
    ZSTD_outBuffer ob{out, *out_size, 0};
    const size_t rc = ZSTD_decompressStream(ds_, &ob, &ib);
    *in_size = ib.pos;
    *out_size = ob.pos;
    if (ZSTD_isError(rc)) {
      why_ = ZSTD_getErrorName(rc);
      return Step::ERROR;
    }
    // 0: a frame is complete and flushed; the next one, if any, starts afresh.
    return rc == 0 ? Step::UNIT : Step::MORE;
  }

 private:
  ZSTD_DStream* ds_;
};

class Lz4Decoder : public Decoder {
 public:
  explicit Lz4Decoder(std::unique_ptr<ByteStream> in) : Decoder(std::move(in), "lz4") {
    ok_ = !LZ4F_isError(LZ4F_createDecompressionContext(&ctx_, LZ4F_VERSION));
  }
  ~Lz4Decoder() override { LZ4F_freeDecompressionContext(ctx_); }

 protected:
  const char* unit_name() const override { return "frame"; }
  bool begin_unit() override {
    if (ok_) return true;
    why_ = "lz4: no memory for the decoder";
    return false;
  }
  Step decode(const uint8_t* in, size_t* in_size, uint8_t* out, size_t* out_size,
              bool) override {
    const size_t rc = LZ4F_decompress(ctx_, out, out_size, in, in_size, nullptr);
    if (LZ4F_isError(rc)) {
      why_ = LZ4F_getErrorName(rc);
      return Step::ERROR;
    }
    return rc == 0 ? Step::UNIT : Step::MORE;
  }

 private:
  LZ4F_dctx* ctx_ = nullptr;
  bool ok_ = false;
};

class XzDecoder : public Decoder {
 public:
  explicit XzDecoder(std::unique_ptr<ByteStream> in) : Decoder(std::move(in), "xz") {
    // Several streams one after the other, with the padding between them, as xz
    // itself reads them; no limit on the decoder's memory beyond the system's.
    ok_ = lzma_stream_decoder(&s_, UINT64_MAX, LZMA_CONCATENATED) == LZMA_OK;
  }
  ~XzDecoder() override { lzma_end(&s_); }

 protected:
  const char* unit_name() const override { return "stream"; }
  bool begin_unit() override {
    if (ok_) return true;
    why_ = "xz: no memory for the decoder";
    return false;
  }
  Step decode(const uint8_t* in, size_t* in_size, uint8_t* out, size_t* out_size,
              bool ended) override {
    s_.next_in = in;
    s_.avail_in = *in_size;
    s_.next_out = out;
    s_.avail_out = *out_size;
    // With LZMA_CONCATENATED the decoder knows the last stream ended only when told
    // the input did.
    const lzma_ret rc = lzma_code(&s_, ended ? LZMA_FINISH : LZMA_RUN);
    *in_size -= s_.avail_in;
    *out_size -= s_.avail_out;
    if (rc == LZMA_STREAM_END) return Step::UNIT;
    // LZMA_BUF_ERROR: no progress, which the loop reads as data cut off.
    if (rc == LZMA_OK || rc == LZMA_BUF_ERROR) return Step::MORE;
    switch (rc) {
      case LZMA_FORMAT_ERROR:
        why_ = "not in the xz format";
        break;
      case LZMA_OPTIONS_ERROR:
        why_ = "unsupported options";
        break;
      case LZMA_DATA_ERROR:
        why_ = "damaged data";
        break;
      case LZMA_MEM_ERROR:
        why_ = "no memory for the decoder";
        break;
      default:
        why_ = "decoder error";
        break;
    }
    return Step::ERROR;
  }

 private:
  lzma_stream s_ = LZMA_STREAM_INIT;
  bool ok_ = false;
};

}  // namespace

Compression compression_of(const uint8_t* head, size_t size) {
  if (starts_with(head, size, GZIP_MAGIC)) return Compression::GZIP;
  if (starts_with(head, size, ZSTD_MAGIC)) return Compression::ZSTD;
  if (starts_with(head, size, LZ4_MAGIC)) return Compression::LZ4;
  if (starts_with(head, size, XZ_MAGIC)) return Compression::XZ;
  return Compression::NONE;
}

const char* compression_name(Compression c) {
  switch (c) {
    case Compression::NONE:
      return "none";
    case Compression::GZIP:
      return "gzip";
    case Compression::ZSTD:
      return "zstd";
    case Compression::LZ4:
      return "lz4";
    case Compression::XZ:
      return "xz";
  }
  return "?";
}

std::unique_ptr<ByteStream> decompressing(Compression c, std::unique_ptr<ByteStream> compressed) {
  switch (c) {
    case Compression::NONE:
      break;
    case Compression::GZIP:
      return std::make_unique<GzipDecoder>(std::move(compressed));
    case Compression::ZSTD:
      return std::make_unique<ZstdDecoder>(std::move(compressed));
    case Compression::LZ4:
      return std::make_unique<Lz4Decoder>(std::move(compressed));
    case Compression::XZ:
      return std::make_unique<XzDecoder>(std::move(compressed));
  }
  return compressed;
}
