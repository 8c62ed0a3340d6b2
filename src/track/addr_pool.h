// Address pool: every IPv6 address that something of the run refers to, kept once
// under a number, with a count of what holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/addr.h"
#include "common/big_alloc.h"
#include "track/endpoint_index.h"

// An IPv6 endpoint holds its address's number where an IPv4 one holds the address
// itself (IpAddr), so that IPv6 records live in the same table, at the same size, as
// IPv4 ones. Each holder counts: a record's client, a closing record's first FIN
// sender, a -D listing entry, a segment while it is handled. When the last holder
// lets go the number is freed and the next new address takes it, so the pool holds
// the addresses of open connections and not of every connection ever seen.
//
// The slots live in chunks that never move, like the connection table's records,
// and the same kind of index finds an address's number from its bytes. One pool
// serves a whole run (Run::pool): every monitor's records number their addresses in
// it.
struct AddrPool {
  // 524 288 slots, 10 MiB a chunk: large enough for 2 MB pages (big_allocate), as
  // lookups among millions of addresses land anywhere, and exactly five of them, so
  // that no chunk is rounded up to a page it leaves partly unused (half the size
  // took 6 MiB of pages for 5 MiB of slots).
  static constexpr uint32_t CHUNK_BITS = 19;
  static constexpr uint32_t CHUNK_SIZE = 1u << CHUNK_BITS;
  // Never a number: a zeroed record field holds no address.
  static constexpr uint32_t NO_NUMBER = 0;

  struct Slot {
    Ip6Addr addr;   // while free: its first four bytes hold the next free slot
    uint32_t refs;  // 0: free
  };

  static_assert(sizeof(Slot) * CHUNK_SIZE % (size_t{2} << 20) == 0,
                "a chunk fills its 2 MB pages");

  EndpointIndex index;
  std::vector<Slot*> chunks;
  uint32_t used = 1;  // numbers handed out so far, NO_NUMBER among them
  uint32_t free_head = NO_NUMBER;
  size_t size = 0;                  // addresses held
  BigAllocLimit* limit = nullptr;  // shared with the rest of the run; none: unlimited

  explicit AddrPool(BigAllocLimit* limit = nullptr);
  AddrPool(const AddrPool&) = delete;
  AddrPool& operator=(const AddrPool&) = delete;
  ~AddrPool();

  Slot& slot(uint32_t n) const { return chunks[n >> CHUNK_BITS][n & (CHUNK_SIZE - 1)]; }
};

// A lookup prepared before it is made, as the connection table's are (ConnLookup):
// with millions of addresses its index line and slot are fetched ahead.
struct PoolLookup {
  uint32_t tag = 0;  // the address's EndpointIndex tag
};
// Computes the tag and starts fetching the index line where the search begins.
void pool_prepare(const AddrPool& p, PoolLookup* lookup, const Ip6Addr& addr);
// Once that line has arrived: starts fetching the slot it probably names.
void pool_locate(const AddrPool& p, const PoolLookup* lookup);

// The address's number, held once more; a new address is added with one holder.
// `prepared`, when given, is the address's prepared lookup. Throws std::bad_alloc
// when the pool cannot grow, leaving it as it was.
uint32_t pool_intern(AddrPool& p, const Ip6Addr& addr, const PoolLookup* prepared = nullptr);
void pool_hold(AddrPool& p, uint32_t n);
// One holder fewer; the last one frees the number.
void pool_release(AddrPool& p, uint32_t n);
inline const Ip6Addr& pool_address(const AddrPool& p, uint32_t n) { return p.slot(n).addr; }

// The same for the address of an endpoint of either family: nothing for IPv4.
inline void hold_address(AddrPool& p, IpAddr addr, Family family) {
  if (family == Family::IPV6) pool_hold(p, addr.raw);
}
inline void release_address(AddrPool& p, IpAddr addr, Family family) {
  if (family == Family::IPV6 && addr.raw != AddrPool::NO_NUMBER) pool_release(p, addr.raw);
}

// The text of an address of either family: dotted IPv4, RFC 5952 IPv6 (see
// common/addr.h); with `bracketed`, an IPv6 one in brackets, for the traces that
// print ":port" after it.
AddrText addr_text(const AddrPool& p, IpAddr addr, Family family, bool bracketed = false);
inline AddrText addr_text(const AddrPool& p, const Endpoint& e, bool bracketed = false) {
  return addr_text(p, e.addr, e.family, bracketed);
}
