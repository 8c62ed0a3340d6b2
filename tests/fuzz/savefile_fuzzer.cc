// libFuzzer target: arbitrary whole savefiles through the file run and the report.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_entry.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_process();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::run_savefile(data, size);
  return 0;
}
