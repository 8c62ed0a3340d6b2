// Endpoint index: from a client endpoint to the number of its record in the
// connection table's store, built for millions of entries that come and go.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/addr.h"
#include "common/big_alloc.h"

// Open addressing with linear probing over 8-byte entries: a 32-bit hash of the
// endpoint (its tag; 0 marks an empty entry) and the record number. Eight entries
// share a cache line, so a lookup nearly always reads one line. The endpoint itself
// is not stored: the caller's record store holds it, and a candidate whose tag
// matches is confirmed there, where the caller is about to read anyway.
//
// The home of an entry is the top bits of its tag, so growing (doubling, at a load
// of 3/4) moves entries without touching a record, and erasing shifts the entries
// behind it back instead of leaving markers that would lengthen later searches.
// The load stays between 3/8 and 3/4: 10.7 to 21.3 bytes an entry.
//
// The hash's multiplier is chosen afresh for each run, so a capture crafted to pile
// endpoints onto one home cannot be prepared in advance.
struct EndpointIndex {
  struct Entry {
    uint32_t tag;
    uint32_t record;
  };
  static constexpr uint32_t NONE = UINT32_MAX;

  Entry* entries = nullptr;
  uint32_t bits = 0;  // capacity = 2^bits; 0 before the first insertion
  size_t size = 0;
  size_t most = SIZE_MAX;  // the most entries it will ever hold, when that is bounded
  BigAllocLimit* limit = nullptr;  // the run's allocation limit; none: unlimited

  static uint32_t tag_of(const Endpoint& key);
  // The tag of an IPv6 address, for the address pool's index.
  static uint32_t tag_of(const Ip6Addr& addr);
  size_t home(uint32_t tag) const { return bits == 0 ? 0 : tag >> (32 - bits); }
  size_t mask() const { return (size_t{1} << bits) - 1; }
};

// Every search takes the key's tag (EndpointIndex::tag_of, computed once by the
// caller) and `matches(record)`, which tells whether a record with that tag is
// filed under the key looked for.

// The record filed under the key, or NONE.
template <typename Matches>
uint32_t index_find(const EndpointIndex& x, uint32_t tag, Matches&& matches) {
  if (x.size == 0) return EndpointIndex::NONE;
  for (size_t i = x.home(tag);; i = (i + 1) & x.mask()) {
    const EndpointIndex::Entry& e = x.entries[i];
    if (e.tag == 0) return EndpointIndex::NONE;
    if (e.tag == tag && matches(e.record)) return e.record;
  }
}

// The first record with the tag, unconfirmed: a guess that costs no read of the
// record itself. NONE when no entry has the tag.
uint32_t index_guess(const EndpointIndex& x, uint32_t tag);

// Starts fetching the cache line where a search for the tag begins.
inline void index_prefetch(const EndpointIndex& x, uint32_t tag) {
  if (x.bits != 0) __builtin_prefetch(&x.entries[x.home(tag)]);
}

// Makes room for one more entry, so that the next index_insert cannot fail. Throws
// std::bad_alloc, leaving the index as it was, when memory runs out.
void index_make_room(EndpointIndex& x);

// Files `record` under a key with this tag; the key must not be present.
void index_insert(EndpointIndex& x, uint32_t tag, uint32_t record);

// Removes the entry of `record`, filed under a key with this tag; false when there
// is none.
bool index_erase(EndpointIndex& x, uint32_t tag, uint32_t record);

// Frees the entries and empties the index; its bound and limit stay.
void index_clear(EndpointIndex& x);
