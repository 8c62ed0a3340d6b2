// A command line as main() receives it, built from words: for the parser in-process
// and for a binary started with execv().
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testlib {

class Argv {
 public:
  // `words` includes the program name, argv[0].
  explicit Argv(std::vector<std::string> words) : words_(std::move(words)) {
    for (std::string& w : words_) pointers_.push_back(w.data());
    pointers_.push_back(nullptr);
  }
  Argv(const Argv&) = delete;
  Argv& operator=(const Argv&) = delete;

  int argc() const { return static_cast<int>(words_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

}  // namespace testlib
