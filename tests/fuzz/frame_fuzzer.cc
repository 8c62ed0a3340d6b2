// libFuzzer target: arbitrary frames into the packet handler under varied settings,
// then the report (see fuzz_entry.h for the input layout).
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_entry.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_process();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::run_frames(data, size);
  return 0;
}
