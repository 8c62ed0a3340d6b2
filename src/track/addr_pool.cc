#include "track/addr_pool.h"

#include <cstring>
#include <new>

#include "common/big_alloc.h"

AddrPool g_addr_pool;

namespace {

uint32_t next_free_of(const AddrPool::Slot& s) {
  uint32_t n;
  std::memcpy(&n, s.addr.bytes, 4);
  return n;
}

uint32_t take_slot() {
  AddrPool& p = g_addr_pool;
  if (p.free_head != AddrPool::NO_NUMBER) {
    const uint32_t n = p.free_head;
    p.free_head = next_free_of(p.slot(n));
    return n;
  }
  if (p.used == EndpointIndex::NONE) throw std::bad_alloc();
  if ((p.used & (AddrPool::CHUNK_SIZE - 1)) == 0 || p.chunks.empty()) {
    // Everything that can fail first, then what cannot.
    p.chunks.reserve(p.chunks.size() + 1);
    p.chunks.push_back(
        static_cast<AddrPool::Slot*>(big_allocate(sizeof(AddrPool::Slot) * AddrPool::CHUNK_SIZE)));
  }
  return p.used++;
}

}  // namespace

void pool_prepare(PoolLookup* lookup, const Ip6Addr& addr) {
  lookup->tag = EndpointIndex::tag_of(addr);
  index_prefetch(g_addr_pool.index, lookup->tag);
}

void pool_locate(const PoolLookup* lookup) {
  const AddrPool& p = g_addr_pool;
  const uint32_t n = index_guess(p.index, lookup->tag);
  if (n != EndpointIndex::NONE) __builtin_prefetch(&p.slot(n));
}

uint32_t pool_intern(const Ip6Addr& addr, const PoolLookup* prepared) {
  AddrPool& p = g_addr_pool;
  const uint32_t tag = prepared != nullptr ? prepared->tag : EndpointIndex::tag_of(addr);
  uint32_t n = index_find(p.index, tag, [&](uint32_t k) { return p.slot(k).addr == addr; });
  if (n == EndpointIndex::NONE) {
    // The index first: a slot taken before a failure to grow it would be lost.
    index_make_room(p.index);
    n = take_slot();
    index_insert(p.index, tag, n);
    AddrPool::Slot& s = p.slot(n);
    s.addr = addr;
    s.refs = 0;
    p.size++;
  }
  p.slot(n).refs++;
  return n;
}

void pool_hold(uint32_t n) { g_addr_pool.slot(n).refs++; }

void pool_release(uint32_t n) {
  AddrPool& p = g_addr_pool;
  AddrPool::Slot& s = p.slot(n);
  if (--s.refs != 0) return;
  index_erase(p.index, EndpointIndex::tag_of(s.addr), n);
  std::memcpy(s.addr.bytes, &p.free_head, 4);
  p.free_head = n;
  p.size--;
}

const Ip6Addr& pool_address(uint32_t n) { return g_addr_pool.slot(n).addr; }

AddrPool::~AddrPool() {
  for (Slot* chunk : chunks) big_free(chunk);
  index_clear(index);
}

void reset_addr_pool() {
  AddrPool& p = g_addr_pool;
  for (AddrPool::Slot* chunk : p.chunks) big_free(chunk);
  index_clear(p.index);
  p.chunks = {};
  p.used = 1;
  p.free_head = AddrPool::NO_NUMBER;
  p.size = 0;
}

AddrText addr_text(IpAddr addr, Family family, bool bracketed) {
  if (family == Family::IPV4) return ipv4_text(addr);
  return ipv6_text(pool_address(addr.raw), bracketed);
}
