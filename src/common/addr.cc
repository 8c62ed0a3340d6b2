#include "common/addr.h"

#include <arpa/inet.h>

#include <array>
#include <cstring>

namespace {

// One address byte as text: its digits and the dot after them.
struct Octet {
  char text[4];
  unsigned char size;  // digits and dot
};

constexpr std::array<Octet, 256> make_octets() {
  std::array<Octet, 256> octets{};
  for (unsigned v = 0; v < 256; ++v) {
    Octet& o = octets[v];
    unsigned n = 0;
    if (v >= 100) o.text[n++] = static_cast<char>('0' + v / 100);
    if (v >= 10) o.text[n++] = static_cast<char>('0' + v / 10 % 10);
    o.text[n++] = static_cast<char>('0' + v % 10);
    o.text[n++] = '.';
    o.size = static_cast<unsigned char>(n);
  }
  return octets;
}

constexpr std::array<Octet, 256> OCTETS = make_octets();

}  // namespace

AddrText ipv4_text(IpAddr addr) {
  unsigned char b[4];
  std::memcpy(b, &addr.raw, 4);
  // Each byte's text from a table, copied whole, without snprintf("%u.%u.%u.%u")
  // (some twenty times the cost) or a branch per digit: connection records print
  // two addresses for every connection of the run, and real addresses' lengths
  // are too irregular to predict.
  AddrText out;
  char* p = out.text;
  for (unsigned char byte : b) {
    std::memcpy(p, OCTETS[byte].text, 4);  // at most 4 x 4 bytes: the whole buffer
    p += OCTETS[byte].size;
  }
  p[-1] = '\0';  // in place of the last dot
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
