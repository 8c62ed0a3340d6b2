// Compressed captures: the format told by its magic bytes, never by the file's
// name, and the decompressed bytes read as a stream like any other, each format
// through its own library (zlib, libzstd, liblz4, liblzma).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "run/byte_stream.h"

enum class Compression : uint8_t { NONE, GZIP, ZSTD, LZ4, XZ };

// The bytes that tell every format apart: xz's magic is the longest.
constexpr size_t COMPRESSION_MAGIC_BYTES = 6;

// The format whose magic bytes begin `head` (`size` bytes of it); NONE for anything
// else, a plain capture among it.
Compression compression_of(const uint8_t* head, size_t size);

// "gzip", "zstd", "lz4", "xz"; "none".
const char* compression_name(Compression c);

// The decompressed bytes of `compressed`, which holds data of format `c` (not NONE):
// gzip of one member or several, zstd of one frame or several (skippable frames
// are passed over), lz4 frames, xz streams. Damaged data, or data that end inside
// a member, frame or stream, are a read error whose reason names the format; the
// bytes decompressed before it are read first.
std::unique_ptr<ByteStream> decompressing(Compression c, std::unique_ptr<ByteStream> compressed);
