#include "stats/bucket_layout.h"

namespace {

// Wrapping signed 32-bit arithmetic: the bucket layout is defined on 32-bit values
// and must not overflow into undefined behaviour on extreme arguments.
int32_t wrap32(uint64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

uint64_t widen_signed(int value) { return static_cast<uint64_t>(static_cast<int64_t>(value)); }

}  // namespace

void derive_byte_layout(Settings& s) {
  // In write mode the bucket size may still be 0 (it is not defaulted there) and
  // none of these values is used: dividing by it would only crash the run.
  if (s.bucket_size == 0) return;
  const uint64_t size = widen_signed(s.bucket_size);
  if (s.sort_mode == BY_CLIENT_BYTES && s.min_client_bytes != 0) {
    s.bucket_base = static_cast<uint32_t>((s.min_client_bytes / 1024) / size);
  } else if (s.sort_mode == BY_SERVER_BYTES && s.min_server_bytes != 0) {
    s.bucket_base = static_cast<uint32_t>((s.min_server_bytes / 1024) / size);
  }
  uint64_t max = 0, min = 0;
  if (s.sort_mode == BY_CLIENT_BYTES && s.max_client_bytes != 0) {
    max = s.max_client_bytes;
    min = s.min_client_bytes;
  } else if (s.sort_mode == BY_SERVER_BYTES && s.max_server_bytes != 0) {
    max = s.max_server_bytes;
    min = s.min_server_bytes;
  } else {
    return;
  }
  int32_t k = wrap32(static_cast<uint64_t>(wrap32((max / size) / 1024)) -
                     static_cast<uint64_t>(wrap32((min / size) / 1024)) + 1);
  if (k < s.nbuckets) s.nbuckets = k;
}

int derive_filter_to(const Settings& s) {
  if (s.filter_from < wrap32(static_cast<uint64_t>(static_cast<uint32_t>(s.nbuckets)) *
                             static_cast<uint32_t>(s.bucket_size)))
    return wrap32(static_cast<uint64_t>(static_cast<uint32_t>(s.filter_from)) +
                  static_cast<uint32_t>(s.bucket_size));
  return -1;
}

BucketEdges bucket_edges(const Settings& s, size_t i) {
  const uint32_t first = static_cast<uint32_t>(i) + s.bucket_base;
  return BucketEdges{static_cast<long long>(first) * s.bucket_size,
                     static_cast<long long>(static_cast<uint32_t>(first + 1)) * s.bucket_size};
}
