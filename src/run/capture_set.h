// Capture sets: the files one run reads as one capture, named by -r (a file,
// standard input, a directory, a glob pattern) or by --read-list, in the order
// that breaks ties between equal timestamps and that the progress line follows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/settings.h"

enum class SetKind : uint8_t {
  FILE,            // -r of one file: libpcap's own words for what is wrong with it
  STANDARD_INPUT,  // -r -
  DIRECTORY,       // -r DIR: its files, not its subdirectories, in name order
  PATTERN,         // -r 'PATTERN' that no file is named: the names it matches, in order
  LIST,            // --read-list FILE: the names it lists, in its order
};

struct CaptureSetNames {
  SetKind kind = SetKind::FILE;
  std::string given;  // the -r or --read-list argument, as typed
  std::vector<std::string> names;
};

// Whether the run's input is more than one plain savefile read as it always was: a
// list, standard input, a directory, a pattern, or a file whose first bytes say it
// is compressed. A plain file (and a name no file has and no pattern could be)
// keeps the classic file run, with libpcap's messages.
bool read_as_capture_set(const Settings& s);

// The names of the run's capture files; false with the message (the program's name
// first) when they cannot be had: a directory or list that cannot be read, a
// pattern that matches nothing, a list that names nothing. Whether each is a
// capture is for the run's opening to find out.
bool name_capture_set(const Settings& s, CaptureSetNames* set, std::string* error);

// Whether a -r argument is a glob pattern: it holds *, ? or [.
bool is_glob_pattern(const std::string& text);
