#include "run/read_ahead.h"

#include <signal.h>

#include <algorithm>
#include <cstring>

ReadAhead::ReadAhead(std::unique_ptr<ByteStream> inner, size_t block, size_t depth)
    : inner_(std::move(inner)), block_size_(block), blocks_(std::max<size_t>(depth, 2)) {
  for (Block& b : blocks_) {
    b.bytes.reset(new uint8_t[block_size_]);
    empty_.push_back(&b);
  }
  inner_->cancel_on(&stop_);
  // The thread starts with every signal blocked: SIGINT and the alarm reach the
  // packet loop's thread, whose handler stops the run.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  thread_ = std::thread([this] { produce(); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_.store(true);
  }
  freed_.notify_all();
  thread_.join();
}

void ReadAhead::produce() {
  for (;;) {
    Block* b;
    {
      std::unique_lock<std::mutex> lock(mu_);
      freed_.wait(lock, [this] { return stop_.load() || !empty_.empty(); });
      if (stop_.load()) return;
      b = empty_.front();
      empty_.pop_front();
    }
    // One read per block: a decompressor fills it, a file read returns what it has,
    // and a pipe's bytes reach the reader as they come.
    const ssize_t n = inner_->read(b->bytes.get(), block_size_);
    std::lock_guard<std::mutex> lock(mu_);
    if (n > 0) {
      b->size = static_cast<size_t>(n);
      full_.push_back(b);
    } else {
      empty_.push_back(b);
      ended_ = true;
      if (n < 0) error_ = inner_->error();
    }
    filled_.notify_one();
    if (ended_) return;
  }
}

ssize_t ReadAhead::read(uint8_t* into, size_t max) {
  if (failed_) return -1;
  if (max == 0) return 0;
  if (reading_ == nullptr || read_at_ == reading_->size) {
    std::unique_lock<std::mutex> lock(mu_);
    if (reading_ != nullptr) {
      empty_.push_back(reading_);
      reading_ = nullptr;
      freed_.notify_one();
    }
    filled_.wait(lock, [this] { return !full_.empty() || ended_; });
    if (full_.empty()) {
      if (error_.empty()) return 0;
      failed_ = true;
      return -1;
    }
    reading_ = full_.front();
    full_.pop_front();
    read_at_ = 0;
  }
  const size_t n = std::min(max, reading_->size - read_at_);
  std::memcpy(into, reading_->bytes.get() + read_at_, n);
  read_at_ += n;
  return static_cast<ssize_t>(n);
}

std::string ReadAhead::error() const {
  std::lock_guard<std::mutex> lock(mu_);
  return failed_ ? error_ : std::string();
}
