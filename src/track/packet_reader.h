// A read-only view of one captured frame that checks every read against the
// captured length: bytes past it were never stored and must never be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct PacketReader {
  const uint8_t* data = nullptr;
  size_t len = 0;  // the captured length, never the length on the wire

  bool has(size_t off, size_t n) const { return off <= len && n <= len - off; }

  // The n bytes at `off` as a reader of their own, when all of them were captured:
  // one check for a whole header, whose fields are then read at fixed offsets.
  bool view(size_t off, size_t n, PacketReader* out) const {
    if (!has(off, n)) return false;
    *out = PacketReader{data + off, n};
    return true;
  }

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
