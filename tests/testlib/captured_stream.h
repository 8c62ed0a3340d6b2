// A stream in memory whose text a test can take, to stand in for standard output
// or standard error where the program writes to a FILE*.
#pragma once

#include <stdio.h>

#include <cstdlib>
#include <string>

namespace testlib {

// A stream whose text a test can take: everything written since the last take.
class CapturedStream {
 public:
  CapturedStream() : file_(open_memstream(&buf_, &size_)) {}
  ~CapturedStream() {
    std::fclose(file_);
    std::free(buf_);
  }
  CapturedStream(const CapturedStream&) = delete;
  CapturedStream& operator=(const CapturedStream&) = delete;

  FILE* file() const { return file_; }
  std::string take() {
    std::fflush(file_);
    std::string text(buf_ + taken_, size_ - taken_);
    taken_ = size_;
    return text;
  }

 private:
  char* buf_ = nullptr;
  size_t size_ = 0;
  size_t taken_ = 0;
  FILE* file_;
};

}  // namespace testlib
