// Input layout of the capture-filter fuzz target, shared with its seed writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

// Byte 0 chooses the source (bit 0: Ethernet, else DLT_NULL; bit 1: a savefile of
// the other byte order; bits 2-5: how many times 64 bytes the wire length exceeds
// the captured length; bits 6-7: the watched ports, FILTER_PORT_SETS), bytes 1 and 2
// the port P (big endian); the rest is the frame.
constexpr size_t FILTER_INPUT_HEADER = 3;
constexpr uint8_t FILTER_ETHERNET = 0x01;
constexpr uint8_t FILTER_OTHER_ORDER = 0x02;
// Bits 6-7 of byte 0: the port P alone; P, 443 and 8000 to 8010; P to P + 9 (up to
// 65535); every port.
enum FilterPortSet : uint8_t { PORT_ALONE = 0, PORT_LIST = 1, PORT_RANGE = 2, EVERY_PORT = 3 };
constexpr unsigned FILTER_PORT_SET_SHIFT = 6;

inline std::vector<uint8_t> filter_input(uint8_t source, uint16_t port,
                                         const std::vector<uint8_t>& frame) {
  std::vector<uint8_t> in{source, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  in.insert(in.end(), frame.begin(), frame.end());
  return in;
}

}  // namespace fuzz
