// Compressed bytes made with each format's own library, for captures a test feeds
// to the program: gzip of several members, zstd of several frames, lz4 frames, xz.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testlib {

enum class Packing { PLAIN, GZIP, ZSTD, LZ4, XZ };

// `bytes` compressed in `format`, cut into `pieces` members, frames or streams of
// about equal size (each compressed on its own and the results joined), as tools
// that append to a compressed file write them.
std::vector<uint8_t> packed(Packing format, const std::vector<uint8_t>& bytes, int pieces = 1);

// The usual ending of a file name in the format: "", ".gz", ".zst", ".lz4", ".xz".
std::string packing_suffix(Packing format);

}  // namespace testlib
