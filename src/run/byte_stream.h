// Byte streams: the bytes of a capture file as the readers above them take them,
// from a descriptor, from memory, or with bytes put back in front; and a stdio
// stream over one for libpcap.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// A source of bytes read from its start to its end, once. A stream that failed
// stays failed: every later read returns -1 again.
class ByteStream {
 public:
  ByteStream() = default;
  virtual ~ByteStream() = default;
  ByteStream(const ByteStream&) = delete;
  ByteStream& operator=(const ByteStream&) = delete;

  // Up to `max` bytes into `into`: how many were read (at least 1 when max is),
  // 0 at the end, -1 on an error.
  virtual ssize_t read(uint8_t* into, size_t max) = 0;
  // Why the stream failed: the system's reason, or a decompressor's.
  virtual std::string error() const { return error_; }
  // Reads that would wait for more bytes (a pipe) give up once `flag` is set, as a
  // read error; a stream that reads no descriptor passes the flag on.
  virtual void cancel_on(const std::atomic<bool>* flag) { (void)flag; }

 protected:
  ssize_t fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    return -1;
  }

 private:
  std::string error_;
};

// The bytes of an open descriptor, read with read(); it is closed with the stream
// when `owned`. Counts the bytes read, for a progress line on another thread.
class FdStream : public ByteStream {
 public:
  FdStream(int fd, bool owned);
  ~FdStream() override;
  ssize_t read(uint8_t* into, size_t max) override;
  void cancel_on(const std::atomic<bool>* flag) override { cancel_ = flag; }
  uint64_t bytes_read() const { return bytes_read_.load(std::memory_order_relaxed); }

 private:
  int fd_;
  bool owned_;
  bool regular_;  // a regular file: a read never waits for a writer
  const std::atomic<bool>* cancel_ = nullptr;
  std::atomic<uint64_t> bytes_read_{0};
};

// Bytes in memory (the tests and the fuzz targets), handed out in reads of at most
// `chunk` bytes so that every path through a reader's buffer is taken; the bytes
// must outlive the stream.
class MemoryStream : public ByteStream {
 public:
  MemoryStream(const uint8_t* bytes, size_t size, size_t chunk = SIZE_MAX)
      : bytes_(bytes), left_(size), chunk_(chunk) {}
  ssize_t read(uint8_t* into, size_t max) override;

 private:
  const uint8_t* bytes_;
  size_t left_;
  size_t chunk_;
};

// A stream with bytes put back in front of it: a look at the first bytes that
// leaves them to be read, and a reader that gives back what it had read ahead.
class PushbackStream : public ByteStream {
 public:
  explicit PushbackStream(std::unique_ptr<ByteStream> inner) : inner_(std::move(inner)) {}
  ssize_t read(uint8_t* into, size_t max) override;
  std::string error() const override { return inner_->error(); }
  void cancel_on(const std::atomic<bool>* flag) override { inner_->cancel_on(flag); }

  // Up to `n` of the next bytes, left to be read; fewer only at the end of the
  // stream or on an error.
  const std::vector<uint8_t>& peek(size_t n);
  // Puts bytes back: they are read next, before anything already put back.
  void unread(const uint8_t* bytes, size_t n);

  ByteStream& inner() { return *inner_; }

 private:
  std::unique_ptr<ByteStream> inner_;
  std::vector<uint8_t> front_;  // put back or looked at, not yet read
  size_t front_at_ = 0;
  std::vector<uint8_t> peeked_;
};

// A stdio stream that reads `stream` (which must outlive it), for
// pcap_fopen_offline(): libpcap then reads exactly the bytes it asks for and no
// more, so that the stream can be handed between libpcap and the fast reader. A
// read error of the stream is an error of the FILE (EIO). nullptr if stdio refuses.
FILE* open_stream_file(ByteStream* stream);
