#include "track/conn_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "track/addr_pool.h"

namespace {

// A fresh record number: the most recently freed one, else the next unused one,
// opening a new chunk when the last is full. Throws std::bad_alloc when memory runs
// out, leaving the table as it was.
uint32_t take_record(ConnTable& t) {
  if (t.free_head != ConnTable::NO_RECORD) {
    const uint32_t n = t.free_head;
    t.free_head = t.slot(n).next_free;
    return n;
  }
  if (t.used == ConnTable::NO_RECORD) throw std::bad_alloc();
  if ((t.used & (ConnTable::CHUNK_SIZE - 1)) == 0) {
    // Everything that can fail first, then what cannot.
    t.chunks.reserve(t.chunks.size() + 1);
    t.live.reserve(t.live.size() + ConnTable::CHUNK_SIZE / 64);
    if (t.keeps_extra) t.extra.reserve(t.extra.size() + 1);
    // Untouched memory: the system provides its pages as records first use them. A
    // bounded table's last chunk holds only the records it needs; that partial
    // chunk does without 2 MB pages, which would round its memory up.
    const size_t slots = std::min<size_t>(ConnTable::CHUNK_SIZE, t.most - t.used);
    const bool huge = slots == ConnTable::CHUNK_SIZE;
    void* chunk = big_allocate(sizeof(RecordSlot) * slots, huge, t.limit);
    if (t.keeps_extra) {
      try {
        t.extra.push_back(static_cast<ConnExtra*>(big_allocate(sizeof(ConnExtra) * slots, huge, t.limit)));
      } catch (...) {
        big_free(chunk);
        throw;
      }
    }
    t.chunks.push_back(static_cast<RecordSlot*>(chunk));
    t.live.resize(t.live.size() + ConnTable::CHUNK_SIZE / 64, 0);
  }
  return t.used++;
}

// Whether record n is the one filed under `key`.
struct FiledUnder {
  const ConnTable& t;
  const Endpoint& key;
  bool operator()(uint32_t n) const { return t.slot(n).info.client == key; }
};

// The record filed under `key`, or NO_RECORD; *tag receives the key's tag. What
// it finds becomes the hint: a handler that erases the record it looked at does
// not search again.
uint32_t find_record(ConnTable& t, const Endpoint& key, uint32_t* tag) {
  if (t.has_hint && t.hint.key == key) {
    *tag = t.hint.tag;
    const uint32_t n = t.hint.record;
    if (n != ConnTable::NO_RECORD && t.is_live(n) && t.slot(n).info.client == key) return n;
  } else {
    *tag = EndpointIndex::tag_of(key);
  }
  const uint32_t n = index_find(t.index, *tag, FiledUnder{t, key});
  t.hint = ConnLookup{key, *tag, n};
  t.has_hint = true;
  return n;
}

}  // namespace

ConnTable::ConnTable(AddrPool& pool, BigAllocLimit* limit) : pool(&pool), limit(limit) {
  index.limit = limit;
}

ConnTable::~ConnTable() {
  for (RecordSlot* chunk : chunks) big_free(chunk);
  for (ConnExtra* chunk : extra) big_free(chunk);
  index_clear(index);
}

ClientKey client_key(const Endpoint& client) {
  // The key shows the address bytes read as a little-endian number, whatever the
  // host's own order: 10.0.0.1 is 0x100000a.
  unsigned char b[4];
  std::memcpy(b, &client.addr.raw, 4);
  unsigned int le = static_cast<unsigned int>(b[0]) | static_cast<unsigned int>(b[1]) << 8 |
                    static_cast<unsigned int>(b[2]) << 16 | static_cast<unsigned int>(b[3]) << 24;
  ClientKey key{};
  static constexpr char KEY_FMT[] = "%#8x%#4x";
  std::snprintf(key.data(), key.size(), KEY_FMT, le, static_cast<unsigned int>(client.port));
  return key;
}

ConnRef conn_find(ConnTable& t, const Endpoint& client) {
  uint32_t tag;
  const uint32_t n = find_record(t, client, &tag);
  if (n == ConnTable::NO_RECORD) return ConnRef{};
  return ConnRef{t.record(n), n};
}

__attribute__((flatten)) ConnRef conn_find_or_insert(ConnTable& t, const Endpoint& client,
                                                     bool* inserted) {
  uint32_t tag;
  uint32_t n = find_record(t, client, &tag);
  *inserted = n == ConnTable::NO_RECORD;
  if (!*inserted) return ConnRef{t.record(n), n};
  if (t.index.size >= t.most) {
    *inserted = false;
    return ConnRef{};
  }
  // The index first: a record taken before a failure to grow it would be lost.
  index_make_room(t.index);
  n = take_record(t);
  index_insert(t.index, tag, n);
  t.hint.record = n;
  t.live[n >> 6] |= uint64_t{1} << (n & 63);
  ConnInfo* rec = new (&t.slot(n).info) ConnInfo{};  // every field zero
  rec->client = client;
  hold_address(*t.pool, client.addr, client.family);
  return ConnRef{rec, n};
}

// The index's code is also the address pool's: flattened, the table's hottest
// paths keep it inlined as they did when they were its only users.
__attribute__((flatten)) void conn_erase(ConnTable& t, const Endpoint& client) {
  uint32_t tag;
  const uint32_t n = find_record(t, client, &tag);
  if (n == ConnTable::NO_RECORD) return;
  const ConnInfo& rec = t.slot(n).info;
  release_address(*t.pool, rec.client.addr, rec.client.family);
  release_address(*t.pool, rec.fin_sender, rec.client.family);
  index_erase(t.index, tag, n);
  t.live[n >> 6] &= ~(uint64_t{1} << (n & 63));
  t.slot(n).next_free = t.free_head;
  t.free_head = n;
}

void conn_set_fin_sender(ConnTable& t, ConnInfo* rec, const Endpoint& sender) {
  hold_address(*t.pool, sender.addr, sender.family);
  release_address(*t.pool, rec->fin_sender, rec->client.family);
  rec->fin_sender = sender.addr;
  rec->fin_sender_port = sender.port;
}

void conn_prepare(const ConnTable& t, ConnLookup* lookup, const Endpoint& client) {
  lookup->key = client;
  lookup->tag = EndpointIndex::tag_of(lookup->key);
  index_prefetch(t.index, lookup->tag);
}

void conn_locate(const ConnTable& t, ConnLookup* lookup) {
  const uint32_t n = index_guess(t.index, lookup->tag);
  lookup->record = n;
  if (n == ConnTable::NO_RECORD) return;
  // Both cache lines of the slot: the handlers read from both ends of the record.
  const char* slot = reinterpret_cast<const char*>(&t.slot(n));
  __builtin_prefetch(slot);
  __builtin_prefetch(slot + 64);
  // The record hooks read and write the record's column entry as well: with the
  // capture file streaming through the caches, it is rarely still there.
  if (t.keeps_extra && (n >> ConnTable::CHUNK_BITS) < t.extra.size()) {
    const char* entry = reinterpret_cast<const char*>(&t.extra_at(n));
    __builtin_prefetch(entry);
    __builtin_prefetch(entry + sizeof(ConnExtra) - 1);  // an entry may cross a cache line
  }
}

void conn_table_hold_at_most(ConnTable& t, size_t most) {
  t.most = most;
  t.index.most = most;
}

void conn_table_keep_extra(ConnTable& t) {
  if (t.used == 0) t.keeps_extra = true;
}

void conn_set_hint(ConnTable& t, const ConnLookup* lookup) {
  t.has_hint = lookup != nullptr;
  if (lookup != nullptr) t.hint = *lookup;
}

std::vector<const ConnInfo*> conns_in_key_order(const ConnTable& t) {
  struct Keyed {
    ClientKey key;
    const ConnInfo* info;
  };
  std::vector<Keyed> keyed;
  std::vector<const ConnInfo*> ipv6;
  keyed.reserve(conn_count(t));
  conn_for_each(t, [&](const ConnInfo& rec) {
    if (rec.client.family == Family::IPV4)
      keyed.push_back({client_key(rec.client), &rec});
    else
      ipv6.push_back(&rec);
  });
  // Byte order of the texts, a shorter prefix first: strcmp on the terminated keys.
  std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    return std::strcmp(a.key.data(), b.key.data()) < 0;
  });
  const AddrPool& pool = *t.pool;
  std::sort(ipv6.begin(), ipv6.end(), [&](const ConnInfo* a, const ConnInfo* b) {
    const Ip6Addr& x = pool_address(pool, a->client.addr.raw);
    const Ip6Addr& y = pool_address(pool, b->client.addr.raw);
    if (x == y) return a->client.port < b->client.port;
    return x < y;
  });
  std::vector<const ConnInfo*> out;
  out.reserve(keyed.size() + ipv6.size());
  for (const Keyed& k : keyed) out.push_back(k.info);
  out.insert(out.end(), ipv6.begin(), ipv6.end());
  return out;
}
