#include "common/addr.h"

#include <cstring>

AddrText addr_text(IpAddr addr) {
  unsigned char b[4];
  std::memcpy(b, &addr.raw, 4);
  // The digits by hand, not with snprintf("%u.%u.%u.%u"), which costs some twenty
  // times as much: connection records print two addresses for every connection of
  // the run.
  AddrText out;
  char* p = out.text;
  for (int i = 0; i < 4; ++i) {
    if (i != 0) *p++ = '.';
    const unsigned v = b[i];
    if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
  }
  *p = '\0';
  return out;
}
