// A decoded IPv6 segment's addresses, numbered in the address pool for as long as
// the segment is handled.
#pragma once

#include <new>

#include "track/addr_pool.h"
#include "track/decode.h"

// Numbers an IPv6 segment's two addresses (decode_frame leaves them in src6 and
// dst6), each held until release_segment_addresses, so that nothing a segment names
// can be freed while it waits to be handled. Nothing for IPv4. `prepared`, when
// given, holds the two addresses' prepared lookups. All or nothing: throws
// std::bad_alloc, holding neither, when the pool cannot grow.
inline void hold_segment_addresses(AddrPool& pool, DecodedFrame* d,
                                   const PoolLookup* prepared = nullptr) {
  if (d->seg.src.family != Family::IPV6) return;
  const uint32_t src = pool_intern(pool, d->src6, prepared);
  try {
    d->seg.dst.addr.raw =
        pool_intern(pool, d->dst6, prepared != nullptr ? prepared + 1 : nullptr);
  } catch (...) {
    pool_release(pool, src);
    throw;
  }
  d->seg.src.addr.raw = src;
}

inline void release_segment_addresses(AddrPool& pool, const Segment& seg) {
  if (seg.src.family != Family::IPV6) return;
  pool_release(pool, seg.src.addr.raw);
  pool_release(pool, seg.dst.addr.raw);
}
