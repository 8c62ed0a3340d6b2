#include "common/addr.h"

#include <cstdio>
#include <cstring>

DottedAddr dotted(uint32_t addr) {
  unsigned char b[4];
  std::memcpy(b, &addr, 4);
  DottedAddr out;
  std::snprintf(out.text, sizeof out.text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return out;
}

uint32_t load_addr(const uint8_t* p) {
  uint32_t addr;
  std::memcpy(&addr, p, 4);
  return addr;
}
