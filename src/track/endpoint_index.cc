#include "track/endpoint_index.h"

#include <cstring>

#include "common/big_alloc.h"

namespace {

constexpr uint32_t FIRST_BITS = 10;  // 1024 entries, 8 KB

// A random odd multiplier, different from run to run (it comes from the program's
// load address, mixed).
uint64_t make_multiplier() {
  uint64_t z = reinterpret_cast<uintptr_t>(&make_multiplier) + 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return (z ^ (z >> 31)) | 1;
}
const uint64_t MULTIPLIER = make_multiplier();

EndpointIndex::Entry* allocate_entries(uint32_t bits, BigAllocLimit* limit) {
  const size_t bytes = sizeof(EndpointIndex::Entry) << bits;
  auto* entries = static_cast<EndpointIndex::Entry*>(big_allocate(bytes, true, limit));
  std::memset(entries, 0, bytes);
  return entries;
}

// Places an entry whose tag is known to be absent.
void place(EndpointIndex& x, EndpointIndex::Entry entry) {
  size_t i = x.home(entry.tag);
  while (x.entries[i].tag != 0) i = (i + 1) & x.mask();
  x.entries[i] = entry;
}

// Doubles the table. Memory that cannot be had leaves the index as it was.
void grow(EndpointIndex& x) {
  const uint32_t bits = x.bits == 0 ? FIRST_BITS : x.bits + 1;
  EndpointIndex::Entry* entries = allocate_entries(bits, x.limit);
  EndpointIndex::Entry* old = x.entries;
  const size_t old_capacity = x.bits == 0 ? 0 : size_t{1} << x.bits;
  x.bits = bits;
  x.entries = entries;
  for (size_t i = 0; i < old_capacity; i++)
    if (old[i].tag != 0) place(x, old[i]);
  big_free(old);
}

// Whether one more entry calls for a bigger table: when it would take the load past
// 3/4, so that searches for absent endpoints (every new connection) stay short.
// An index that will never hold more than `most` entries stops growing once they
// fit at 7/8: where memory is bounded on purpose, it goes to the records.
bool full(const EndpointIndex& x) {
  if (x.bits == 0) return true;
  if ((x.size + 1) * 4 <= (size_t{3} << x.bits)) return false;
  return x.most == SIZE_MAX || x.most * 8 > (size_t{7} << x.bits);
}

}  // namespace

uint32_t EndpointIndex::tag_of(const Endpoint& key) {
  // Multiply-shift with a random odd multiplier: the top half of the product
  // depends on every bit of the endpoint, and which endpoints share a home cannot
  // be known before the run.
  // The family lies in the bits above the port: an IPv4 endpoint hashes as it
  // always has.
  const uint64_t h = (static_cast<uint64_t>(key.addr.raw) << 32 |
                      static_cast<uint64_t>(key.family) << 16 | key.port) *
                     MULTIPLIER;
  const uint32_t tag = static_cast<uint32_t>(h >> 32);
  return tag != 0 ? tag : 1;
}

uint32_t EndpointIndex::tag_of(const Ip6Addr& addr) {
  // The two halves folded by a multiply-xor, then multiply-shift as above.
  uint64_t high, low;
  std::memcpy(&high, addr.bytes, 8);
  std::memcpy(&low, addr.bytes + 8, 8);
  const uint64_t h = ((high * MULTIPLIER) ^ low) * MULTIPLIER;
  const uint32_t tag = static_cast<uint32_t>(h >> 32);
  return tag != 0 ? tag : 1;
}

uint32_t index_guess(const EndpointIndex& x, uint32_t tag) {
  if (x.size == 0) return EndpointIndex::NONE;
  for (size_t i = x.home(tag);; i = (i + 1) & x.mask()) {
    const EndpointIndex::Entry& e = x.entries[i];
    if (e.tag == 0) return EndpointIndex::NONE;
    if (e.tag == tag) return e.record;
  }
}

void index_make_room(EndpointIndex& x) {
  if (full(x)) grow(x);
}

void index_insert(EndpointIndex& x, uint32_t tag, uint32_t record) {
  index_make_room(x);
  place(x, EndpointIndex::Entry{tag, record});
  x.size++;
}

bool index_erase(EndpointIndex& x, uint32_t tag, uint32_t record) {
  if (x.size == 0) return false;
  size_t i = x.home(tag);
  for (;; i = (i + 1) & x.mask()) {
    const EndpointIndex::Entry& e = x.entries[i];
    if (e.tag == 0) return false;
    if (e.tag == tag && e.record == record) break;
  }
  // Backward shift: each later entry of the cluster that may live at i moves there,
  // so no search ever stops early at the hole.
  const size_t mask = x.mask();
  for (size_t j = (i + 1) & mask;; j = (j + 1) & mask) {
    const EndpointIndex::Entry e = x.entries[j];
    if (e.tag == 0) break;
    // e may move back to i when its home is not in (i, j], cyclically.
    if (((j - x.home(e.tag)) & mask) >= ((j - i) & mask)) {
      x.entries[i] = e;
      i = j;
    }
  }
  x.entries[i] = EndpointIndex::Entry{0, 0};
  x.size--;
  return true;
}

void index_clear(EndpointIndex& x) {
  big_free(x.entries);
  const size_t most = x.most;
  BigAllocLimit* const limit = x.limit;
  x = EndpointIndex{};
  x.most = most;
  x.limit = limit;
}
