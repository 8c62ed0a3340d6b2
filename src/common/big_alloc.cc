#include "common/big_alloc.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace {

constexpr size_t HUGE_PAGE = 2 << 20;
constexpr size_t BLOCK_ALIGNMENT = 128;

}  // namespace

void* big_allocate(size_t bytes, bool huge_pages, BigAllocLimit* limit) {
  if (limit != nullptr) {
    if (limit->left == 0) throw std::bad_alloc();
    if (limit->left != UINT64_MAX) limit->left--;
  }
  void* p = nullptr;
  if (bytes < 2 * HUGE_PAGE || !huge_pages) {
    // Aligned for the blocks' largest members: the table's 128-byte record slots.
    if (posix_memalign(&p, BLOCK_ALIGNMENT, bytes) != 0) p = nullptr;
  } else {
    // Whole 2 MB pages: a partial one at the end would be served in 4 KB pages.
    bytes = (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    // Only a hint: where 2 MB pages are not to be had, 4 KB ones serve.
    if (posix_memalign(&p, HUGE_PAGE, bytes) == 0) madvise(p, bytes, MADV_HUGEPAGE);
  }
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void big_free(void* p) { std::free(p); }
