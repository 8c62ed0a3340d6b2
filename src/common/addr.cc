#include "common/addr.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

AddrText ipv4_text(IpAddr addr) {
  unsigned char b[4];
  std::memcpy(b, &addr.raw, 4);
  AddrText out;
  static constexpr char DOTTED_FMT[] = "%u.%u.%u.%u";
  std::snprintf(out.text, sizeof out.text, DOTTED_FMT, b[0], b[1], b[2], b[3]);
  return out;
}

AddrText ipv6_text(const Ip6Addr& addr, bool bracketed) {
  // glibc's inet_ntop writes exactly the RFC 5952 form.
  AddrText out;
  char* text = out.text;
  if (bracketed) *text++ = '[';
  if (inet_ntop(AF_INET6, addr.bytes, text, INET6_ADDRSTRLEN) == nullptr) text[0] = '\0';
  if (bracketed) std::strcat(out.text, "]");
  return out;
}
