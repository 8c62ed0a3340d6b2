// Read-ahead: a byte stream read (and decompressed) on a thread of its own, a few
// blocks ahead of its reader, so that reading and the packet loop each have a core
// and a run costs about the slower of the two rather than their sum.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "run/byte_stream.h"

class ReadAhead : public ByteStream {
 public:
  // Four blocks of a megabyte: enough that neither side waits on the other's
  // scheduling, small enough to stay near the caches.
  static constexpr size_t BLOCK = 1 << 20;
  static constexpr size_t DEPTH = 4;

  // Starts the thread that reads `inner`; no signal is delivered to it.
  explicit ReadAhead(std::unique_ptr<ByteStream> inner, size_t block = BLOCK,
                     size_t depth = DEPTH);
  // Stops the thread, wherever it is, and waits for it.
  ~ReadAhead() override;

  ssize_t read(uint8_t* into, size_t max) override;
  std::string error() const override;

 private:
  struct Block {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
  };

  void produce();

  std::unique_ptr<ByteStream> inner_;
  const size_t block_size_;
  std::vector<Block> blocks_;

  mutable std::mutex mu_;
  std::condition_variable filled_;  // a block was filled, or the stream ended
  std::condition_variable freed_;   // a block was given back, or the reader left
  std::deque<Block*> full_;         // filled, in order, not yet read
  std::deque<Block*> empty_;        // for the thread to fill
  bool ended_ = false;              // the thread read the stream's end or its error
  std::string error_;               // that error, once the reader reaches it

  Block* reading_ = nullptr;  // the reader's block, and how far it has read it
  size_t read_at_ = 0;
  bool failed_ = false;  // the reader reached the error

  std::atomic<bool> stop_{false};
  std::thread thread_;
};
