// Input layout of the capture-filter fuzz target, shared with its seed writer.
#pragma once

#include <pcap/dlt.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

// Byte 0 chooses the link type (FILTER_LINK_TYPES, modulo their number). Byte 1
// chooses the rest of the source and the expression: bit 0 a savefile of the other
// byte order; bit 1 the expression of --decode-all, else the classic one (which the
// native check knows only on Ethernet and DLT_NULL: other inputs are passed over);
// bits 2-5 how many times 64 bytes the wire length exceeds the captured length;
// bits 6-7 the watched ports, FILTER_PORT_SETS. Bytes 2 and 3 are the port P (big
// endian); the rest is the frame.
constexpr size_t FILTER_INPUT_HEADER = 4;
constexpr int FILTER_LINK_TYPES[] = {DLT_EN10MB,     DLT_NULL, DLT_LINUX_SLL, DLT_LINUX_SLL2,
                                     DLT_RAW,        DLT_IPV4, DLT_IPV6};
constexpr size_t FILTER_LINK_COUNT = sizeof FILTER_LINK_TYPES / sizeof FILTER_LINK_TYPES[0];
constexpr uint8_t FILTER_OTHER_ORDER = 0x01;
constexpr uint8_t FILTER_DECODE_ALL = 0x02;
constexpr unsigned FILTER_WIRE_SHIFT = 2;
// Bits 6-7 of byte 1: the port P alone; P, 443 and 8000 to 8010; P to P + 9 (up to
// 65535); every port.
enum FilterPortSet : uint8_t { PORT_ALONE = 0, PORT_LIST = 1, PORT_RANGE = 2, EVERY_PORT = 3 };
constexpr unsigned FILTER_PORT_SET_SHIFT = 6;

// `link`: an index into FILTER_LINK_TYPES; `source`: byte 1.
inline std::vector<uint8_t> filter_input(uint8_t link, uint8_t source, uint16_t port,
                                         const std::vector<uint8_t>& frame) {
  std::vector<uint8_t> in{link, source, static_cast<uint8_t>(port >> 8),
                          static_cast<uint8_t>(port)};
  in.insert(in.end(), frame.begin(), frame.end());
  return in;
}

}  // namespace fuzz
