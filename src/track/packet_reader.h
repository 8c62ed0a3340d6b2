// A read-only view of one captured frame that checks every read against the
// captured length: bytes past it were never stored and must never be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// N bytes of a frame that are known to have been captured. Fields are read at
// offsets fixed when the program is compiled, and checked then: a read past the N
// bytes does not compile.
template <size_t N>
struct HeaderView {
  const uint8_t* data = nullptr;

  template <size_t OFF>
  uint8_t u8() const {
    static_assert(OFF + 1 <= N, "read past the header");
    return data[OFF];
  }
  // Big-endian (network order) fields, returned in host order.
  template <size_t OFF>
  uint16_t be16() const {
    static_assert(OFF + 2 <= N, "read past the header");
    return static_cast<uint16_t>(data[OFF] << 8 | data[OFF + 1]);
  }
  template <size_t OFF>
  uint32_t be32() const {
    static_assert(OFF + 4 <= N, "read past the header");
    return static_cast<uint32_t>(data[OFF]) << 24 | static_cast<uint32_t>(data[OFF + 1]) << 16 |
           static_cast<uint32_t>(data[OFF + 2]) << 8 | static_cast<uint32_t>(data[OFF + 3]);
  }
  // Four bytes exactly as stored.
  template <size_t OFF>
  uint32_t raw32() const {
    static_assert(OFF + 4 <= N, "read past the header");
    uint32_t v;
    std::memcpy(&v, data + OFF, 4);
    return v;
  }
  // LEN bytes exactly as stored (an IPv6 address).
  template <size_t OFF, size_t LEN>
  void copy(uint8_t (&out)[LEN]) const {
    static_assert(OFF + LEN <= N, "read past the header");
    std::memcpy(out, data + OFF, LEN);
  }
};

struct PacketReader {
  const uint8_t* data = nullptr;
  size_t len = 0;  // the captured length, never the length on the wire

  bool has(size_t off, size_t n) const { return off <= len && n <= len - off; }

  // The N bytes at `off` as a fixed-size header, when all of them were captured:
  // one check for the whole header (see HeaderView).
  template <size_t N>
  bool header(size_t off, struct HeaderView<N>* out) const;

  bool u8(size_t off, uint8_t* out) const {
    if (!has(off, 1)) return false;
    *out = data[off];
    return true;
  }
  // Big-endian (network order) fields, returned in host order.
  bool be16(size_t off, uint16_t* out) const {
    if (!has(off, 2)) return false;
    *out = static_cast<uint16_t>(data[off] << 8 | data[off + 1]);
    return true;
  }
  bool be32(size_t off, uint32_t* out) const {
    if (!has(off, 4)) return false;
    *out = static_cast<uint32_t>(data[off]) << 24 | static_cast<uint32_t>(data[off + 1]) << 16 |
           static_cast<uint32_t>(data[off + 2]) << 8 | static_cast<uint32_t>(data[off + 3]);
    return true;
  }
  // Four bytes exactly as stored: the host's own order (the loopback link's
  // address family) or an IPv4 address kept in network order.
  bool raw32(size_t off, uint32_t* out) const {
    if (!has(off, 4)) return false;
    std::memcpy(out, data + off, 4);
    return true;
  }
};

template <size_t N>
bool PacketReader::header(size_t off, HeaderView<N>* out) const {
  if (!has(off, N)) return false;
  out->data = data + off;
  return true;
}
