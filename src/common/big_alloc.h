// Memory for large arrays that are read at random: the connection table's store
// and index, the address pool.
#pragma once

#include <cstddef>
#include <cstdint>

// How many more big allocations may succeed before the next one fails as if memory
// had run out. A run's structures share one (Run::memory); it is unlimited there,
// and tests lower it to make a structure's growth fail.
struct BigAllocLimit {
  uint64_t left = UINT64_MAX;
};

// A block of a few megabytes or more is aligned to, rounded up to, and asks the
// system for, 2 MB pages: with millions of connections every lookup lands somewhere
// new, and with 4 KB pages each one would also miss the address translation cache,
// and first touching the memory would take 512 times as many page faults. Throws
// std::bad_alloc when memory runs out, or when `limit` (if given) allows no more.
// huge_pages false: the block is served in the system's ordinary pages.
void* big_allocate(size_t bytes, bool huge_pages = true, BigAllocLimit* limit = nullptr);
void big_free(void* p);
