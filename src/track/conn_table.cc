#include "track/conn_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/big_alloc.h"
#include "track/records.h"
#include "track/addr_pool.h"

ConnTable g_conns;

namespace {

// A fresh record number: the most recently freed one, else the next unused one,
// opening a new chunk when the last is full. Throws std::bad_alloc when memory runs
// out, leaving the table as it was.
uint32_t take_record() {
  ConnTable& t = g_conns;
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
    // Untouched memory: the system provides its pages as records first use them. A
    // bounded table's last chunk holds only the records it needs; that partial
    // chunk does without 2 MB pages, which would round its memory up.
    const size_t slots = std::min<size_t>(ConnTable::CHUNK_SIZE, t.most - t.used);
    void* chunk = big_allocate(sizeof(RecordSlot) * slots, slots == ConnTable::CHUNK_SIZE);
    // The records' side store grows with the table, so that no handler ever has to
    // find memory for it.
    if (g_records.enabled) {
      try {
        records_add_chunk(slots);
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
  const Endpoint& key;
  bool operator()(uint32_t n) const { return g_conns.slot(n).info.client == key; }
};

// The record filed under `key`, or NO_RECORD; *tag receives the key's tag. What
// it finds becomes the hint: a handler that erases the record it looked at does
// not search again.
uint32_t find_record(const Endpoint& key, uint32_t* tag) {
  ConnTable& t = g_conns;
  if (t.has_hint && t.hint.key == key) {
    *tag = t.hint.tag;
    const uint32_t n = t.hint.record;
    if (n != ConnTable::NO_RECORD && t.is_live(n) && t.slot(n).info.client == key) return n;
  } else {
    *tag = EndpointIndex::tag_of(key);
  }
  const uint32_t n = index_find(t.index, *tag, FiledUnder{key});
  t.hint = ConnLookup{key, *tag, n};
  t.has_hint = true;
  return n;
}

}  // namespace

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

ConnInfo* conn_find(const Endpoint& client) {
  uint32_t tag;
  const uint32_t n = find_record(client, &tag);
  return n == ConnTable::NO_RECORD ? nullptr : g_conns.record(n);
}

__attribute__((flatten)) ConnInfo* conn_find_or_insert(const Endpoint& client, bool* inserted) {
  ConnTable& t = g_conns;
  uint32_t tag;
  uint32_t n = find_record(client, &tag);
  *inserted = n == ConnTable::NO_RECORD;
  if (!*inserted) return t.record(n);
  if (t.index.size >= t.most) {
    *inserted = false;
    return nullptr;
  }
  // The index first: a record taken before a failure to grow it would be lost.
  index_make_room(t.index);
  n = take_record();
  index_insert(t.index, tag, n);
  t.hint.record = n;
  t.live[n >> 6] |= uint64_t{1} << (n & 63);
  ConnInfo* rec = new (&t.slot(n).info) ConnInfo{};  // every field zero
  rec->client = client;
  hold_address(client.addr, client.family);
  return rec;
}

// The index's code is also the address pool's: flattened, the table's hottest
// paths keep it inlined as they did when they were its only users.
__attribute__((flatten)) void conn_erase(const Endpoint& client) {
  ConnTable& t = g_conns;
  uint32_t tag;
  const uint32_t n = find_record(client, &tag);
  if (n == ConnTable::NO_RECORD) return;
  const ConnInfo& rec = t.slot(n).info;
  release_address(rec.client.addr, rec.client.family);
  release_address(rec.fin_sender, rec.client.family);
  index_erase(t.index, tag, n);
  t.live[n >> 6] &= ~(uint64_t{1} << (n & 63));
  t.slot(n).next_free = t.free_head;
  t.free_head = n;
}

void conn_set_fin_sender(ConnInfo* rec, const Endpoint& sender) {
  hold_address(sender.addr, sender.family);
  release_address(rec->fin_sender, rec->client.family);
  rec->fin_sender = sender.addr;
  rec->fin_sender_port = sender.port;
}

size_t conn_count() { return g_conns.index.size; }

void conn_prepare(ConnLookup* lookup, const Endpoint& client) {
  lookup->key = client;
  lookup->tag = EndpointIndex::tag_of(lookup->key);
  index_prefetch(g_conns.index, lookup->tag);
}

void conn_locate(ConnLookup* lookup) {
  const uint32_t n = index_guess(g_conns.index, lookup->tag);
  lookup->record = n;
  if (n == ConnTable::NO_RECORD) return;
  // Both cache lines of the slot: the handlers read from both ends of the record.
  const char* slot = reinterpret_cast<const char*>(&g_conns.slot(n));
  __builtin_prefetch(slot);
  __builtin_prefetch(slot + 64);
  // The record hooks read and write the record's side-store entry as well.
  if (g_records.enabled) records_prefetch(n);
}

void conn_table_hold_at_most(size_t most) {
  g_conns.most = most;
  g_conns.index.most = most;
}

void conn_set_hint(const ConnLookup* lookup) {
  g_conns.has_hint = lookup != nullptr;
  if (lookup != nullptr) g_conns.hint = *lookup;
}

uint32_t conn_number(const ConnInfo* rec) {
  const ConnTable& t = g_conns;
  const uint32_t guess = t.hint.record;
  if (guess != ConnTable::NO_RECORD && guess < t.used && t.record(guess) == rec) return guess;
  // A record is the first member of its slot, and the slots of a chunk are one array.
  const uintptr_t at = reinterpret_cast<uintptr_t>(rec);
  for (size_t c = 0; c < t.chunks.size(); c++) {
    const uintptr_t first = reinterpret_cast<uintptr_t>(t.chunks[c]);
    if (at >= first && at - first < sizeof(RecordSlot) * ConnTable::CHUNK_SIZE)
      return static_cast<uint32_t>(c << ConnTable::CHUNK_BITS) +
             static_cast<uint32_t>((at - first) / sizeof(RecordSlot));
  }
  return ConnTable::NO_RECORD;
}

std::vector<const ConnInfo*> conns_in_key_order() {
  struct Keyed {
    ClientKey key;
    const ConnInfo* info;
  };
  std::vector<Keyed> keyed;
  std::vector<const ConnInfo*> ipv6;
  keyed.reserve(conn_count());
  conn_for_each([&](const ConnInfo& rec) {
    if (rec.client.family == Family::IPV4)
      keyed.push_back({client_key(rec.client), &rec});
    else
      ipv6.push_back(&rec);
  });
  // Byte order of the texts, a shorter prefix first: strcmp on the terminated keys.
  std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    return std::strcmp(a.key.data(), b.key.data()) < 0;
  });
  std::sort(ipv6.begin(), ipv6.end(), [](const ConnInfo* a, const ConnInfo* b) {
    const Ip6Addr& x = pool_address(a->client.addr.raw);
    const Ip6Addr& y = pool_address(b->client.addr.raw);
    if (x == y) return a->client.port < b->client.port;
    return x < y;
  });
  std::vector<const ConnInfo*> out;
  out.reserve(keyed.size() + ipv6.size());
  for (const Keyed& k : keyed) out.push_back(k.info);
  out.insert(out.end(), ipv6.begin(), ipv6.end());
  return out;
}

ConnTable::~ConnTable() {
  for (RecordSlot* chunk : chunks) big_free(chunk);
  index_clear(index);
}

void reset_conn_table() {
  ConnTable& t = g_conns;
  for (RecordSlot* chunk : t.chunks) big_free(chunk);
  index_clear(t.index);
  t.chunks = {};
  t.live = {};
  t.used = 0;
  t.free_head = ConnTable::NO_RECORD;
  t.most = SIZE_MAX;
  t.hint = ConnLookup{};
  t.has_hint = false;
}
