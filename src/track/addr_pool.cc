#include "track/addr_pool.h"

#include <cstring>
#include <new>

namespace {

uint32_t next_free_of(const AddrPool::Slot& s) {
  uint32_t n;
  std::memcpy(&n, s.addr.bytes, 4);
  return n;
}

uint32_t take_slot(AddrPool& p) {
  if (p.free_head != AddrPool::NO_NUMBER) {
    const uint32_t n = p.free_head;
    p.free_head = next_free_of(p.slot(n));
    return n;
  }
  if (p.used == EndpointIndex::NONE) throw std::bad_alloc();
  if ((p.used & (AddrPool::CHUNK_SIZE - 1)) == 0 || p.chunks.empty()) {
    // Everything that can fail first, then what cannot.
    p.chunks.reserve(p.chunks.size() + 1);
    p.chunks.push_back(static_cast<AddrPool::Slot*>(
        big_allocate(sizeof(AddrPool::Slot) * AddrPool::CHUNK_SIZE, true, p.limit)));
  }
  return p.used++;
}

}  // namespace

AddrPool::AddrPool(BigAllocLimit* limit) : limit(limit) { index.limit = limit; }

AddrPool::~AddrPool() {
  for (Slot* chunk : chunks) big_free(chunk);
  index_clear(index);
}

void pool_prepare(const AddrPool& p, PoolLookup* lookup, const Ip6Addr& addr) {
  lookup->tag = EndpointIndex::tag_of(addr);
  index_prefetch(p.index, lookup->tag);
}

void pool_locate(const AddrPool& p, const PoolLookup* lookup) {
  const uint32_t n = index_guess(p.index, lookup->tag);
  if (n != EndpointIndex::NONE) __builtin_prefetch(&p.slot(n));
}

uint32_t pool_intern(AddrPool& p, const Ip6Addr& addr, const PoolLookup* prepared) {
  const uint32_t tag = prepared != nullptr ? prepared->tag : EndpointIndex::tag_of(addr);
  uint32_t n = index_find(p.index, tag, [&](uint32_t k) { return p.slot(k).addr == addr; });
  if (n == EndpointIndex::NONE) {
    // The index first: a slot taken before a failure to grow it would be lost.
    index_make_room(p.index);
    n = take_slot(p);
    index_insert(p.index, tag, n);
    AddrPool::Slot& s = p.slot(n);
    s.addr = addr;
    s.refs = 0;
    p.size++;
  }
  p.slot(n).refs++;
  return n;
}

void pool_hold(AddrPool& p, uint32_t n) { p.slot(n).refs++; }

void pool_release(AddrPool& p, uint32_t n) {
  AddrPool::Slot& s = p.slot(n);
  if (--s.refs != 0) return;
  index_erase(p.index, EndpointIndex::tag_of(s.addr), n);
  std::memcpy(s.addr.bytes, &p.free_head, 4);
  p.free_head = n;
  p.size--;
}

AddrText addr_text(const AddrPool& p, IpAddr addr, Family family, bool bracketed) {
  if (family == Family::IPV4) return ipv4_text(addr);
  return ipv6_text(pool_address(p, addr.raw), bracketed);
}
