#include "track/conn_table.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

ConnTable g_conns;

namespace {

constexpr size_t HUGE_PAGE = 2 << 20;

// A fresh record number: the most recently freed one, else the next unused one,
// opening a new chunk when the last is full.
uint32_t take_record() {
  ConnTable& t = g_conns;
  if (t.free_head != ConnTable::NO_RECORD) {
    const uint32_t n = t.free_head;
    std::memcpy(&t.free_head, static_cast<void*>(t.record(n)), sizeof t.free_head);
    return n;
  }
  if (t.used == ConnTable::NO_RECORD) throw std::bad_alloc();
  if ((t.used & (ConnTable::CHUNK_SIZE - 1)) == 0) {
    // Untouched memory: the system provides its pages as records first use them.
    void* chunk = table_allocate(sizeof(ConnInfo) * ConnTable::CHUNK_SIZE);
    t.chunks.push_back(static_cast<ConnInfo*>(chunk));
    t.live.resize(t.live.size() + ConnTable::CHUNK_SIZE / 64, 0);
  }
  return t.used++;
}

}  // namespace

void* table_allocate(size_t bytes) {
  void* p = nullptr;
  if (bytes < 2 * HUGE_PAGE) {
    p = std::malloc(bytes);
  } else {
    // Whole 2 MB pages: a partial one at the end would be served in 4 KB pages.
    bytes = (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    // Only a hint: where 2 MB pages are not to be had, 4 KB ones serve.
    if (posix_memalign(&p, HUGE_PAGE, bytes) == 0) madvise(p, bytes, MADV_HUGEPAGE);
  }
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void table_free(void* p) { std::free(p); }

ClientKey client_key(uint32_t addr, uint32_t port) {
  // The key shows the address bytes read as a little-endian number, whatever the
  // host's own order: 10.0.0.1 is 0x100000a.
  unsigned char b[4];
  std::memcpy(b, &addr, 4);
  unsigned int le = static_cast<unsigned int>(b[0]) | static_cast<unsigned int>(b[1]) << 8 |
                    static_cast<unsigned int>(b[2]) << 16 | static_cast<unsigned int>(b[3]) << 24;
  ClientKey key{};
  static constexpr char KEY_FMT[] = "%#8x%#4x";
  std::snprintf(key.data(), key.size(), KEY_FMT, le, port);
  return key;
}

ConnInfo* conn_find(uint32_t addr, uint32_t port) {
  const auto it = g_conns.index.find(Endpoint{addr, port});
  return it == g_conns.index.end() ? nullptr : g_conns.record(it->second);
}

ConnInfo* conn_insert(uint32_t addr, uint32_t port) {
  bool inserted;
  return conn_find_or_insert(addr, port, &inserted);
}

ConnInfo* conn_find_or_insert(uint32_t addr, uint32_t port, bool* inserted) {
  ConnTable& t = g_conns;
  const auto [it, fresh] = t.index.try_emplace(Endpoint{addr, port}, ConnTable::NO_RECORD);
  *inserted = fresh;
  if (!fresh) return t.record(it->second);
  const uint32_t n = take_record();
  it->second = n;
  t.live[n >> 6] |= uint64_t{1} << (n & 63);
  return new (t.record(n)) ConnInfo{};  // every field zero
}

void conn_erase(uint32_t addr, uint32_t port) {
  ConnTable& t = g_conns;
  const auto it = t.index.find(Endpoint{addr, port});
  if (it == t.index.end()) return;
  const uint32_t n = it->second;
  t.index.erase(it);
  t.live[n >> 6] &= ~(uint64_t{1} << (n & 63));
  std::memcpy(static_cast<void*>(t.record(n)), &t.free_head, sizeof t.free_head);
  t.free_head = n;
}

size_t conn_count() { return g_conns.index.size(); }

void conn_prefetch(uint32_t addr, uint32_t port) { g_conns.index.prefetch(Endpoint{addr, port}); }

void conn_prefetch_record(uint32_t addr, uint32_t port) {
  const auto it = g_conns.index.find(Endpoint{addr, port});
  if (it == g_conns.index.end()) return;
  // A record spans two or three cache lines; the handlers read from both ends.
  const char* rec = reinterpret_cast<const char*>(g_conns.record(it->second));
  __builtin_prefetch(rec);
  __builtin_prefetch(rec + sizeof(ConnInfo) - 1);
}

std::vector<const ConnInfo*> conns_in_key_order() {
  struct Keyed {
    ClientKey key;
    const ConnInfo* info;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(conn_count());
  conn_for_each([&](const ConnInfo& rec) {
    keyed.push_back({client_key(rec.client_addr, rec.client_port), &rec});
  });
  // Byte order of the texts, a shorter prefix first: strcmp on the terminated keys.
  std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    return std::strcmp(a.key.data(), b.key.data()) < 0;
  });
  std::vector<const ConnInfo*> out;
  out.reserve(keyed.size());
  for (const Keyed& k : keyed) out.push_back(k.info);
  return out;
}

void reset_conn_table() {
  ConnTable& t = g_conns;
  for (ConnInfo* chunk : t.chunks) table_free(chunk);
  t.index = {};
  t.chunks = {};
  t.live = {};
  t.used = 0;
  t.free_head = ConnTable::NO_RECORD;
}
