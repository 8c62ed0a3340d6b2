// The run of a capture set: every file opened and checked before the first packet,
// then their records merged into one timeline by timestamp (the earliest first,
// ties to the file named first) and handed to the packet loop, or copied by -w,
// exactly as the one file that merges them would be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "run/capture_set.h"
#include "run/record_output.h"
#include "run/run_end.h"
#include "stats/run.h"

// Everything of a file run after the monitors are made, for the run's -r or
// --read-list input when read_as_capture_set() says it is a set. `interface` names
// the interface whose network mask the filter uses (-i), or is null.
RunEnd run_capture_set(Run& run, const char* interface);

// A capture set in memory, for tests and the fuzz target: each entry a file's bytes,
// compressed or not, handed out in reads of `chunk` bytes. The run is a report run
// of the run's settings (not -w). FAILURE without a word when a file is not one
// libpcap opens.
struct MemoryFile {
  std::string name;  // as warnings name it
  const uint8_t* bytes = nullptr;
  size_t size = 0;
};
RunEnd run_memory_set(Run& run, RecordFiles& files, const std::vector<MemoryFile>& set,
                      size_t chunk);
