#include "common/addr.h"

#include <cstdio>
#include <cstring>

AddrText addr_text(IpAddr addr) {
  unsigned char b[4];
  std::memcpy(b, &addr.raw, 4);
  AddrText out;
  static constexpr char DOTTED_FMT[] = "%u.%u.%u.%u";
  std::snprintf(out.text, sizeof out.text, DOTTED_FMT, b[0], b[1], b[2], b[3]);
  return out;
}
