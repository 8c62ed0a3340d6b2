// Memory for large arrays that are read at random: the connection table's store
// and index.
#pragma once

#include <cstddef>
#include <cstdint>

// A block of a few megabytes or more is aligned to, rounded up to, and asks the
// system for, 2 MB pages: with millions of connections every lookup lands somewhere
// new, and with 4 KB pages each one would also miss the address translation cache,
// and first touching the memory would take 512 times as many page faults. Throws
// std::bad_alloc when memory runs out.
// huge_pages false: the block is served in the system's ordinary pages.
void* big_allocate(size_t bytes, bool huge_pages = true);
void big_free(void* p);

// How many more big allocations may succeed before the next one fails as if memory
// had run out: unlimited in a run, set by tests to make the table's growth fail.
struct BigAllocLimit {
  uint64_t left = UINT64_MAX;
};

extern BigAllocLimit g_big_alloc_limit;
