#include "tavrine/platform/memory.h"

#include <malloc.h>

namespace platform {

void keepLargeBlocksOutOfTheHeap() noexcept {
  // glibc raises the mapping threshold to the size of each mapped block
  // freed, so after one large answer the next ones land in the check
  // thread's arena, whose top malloc_trim does not return. A fixed
  // threshold also fixes the trim threshold.
#if defined(__GLIBC__)
  (void)mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

void useOneHeapArena() noexcept {
#if defined(__GLIBC__)
  (void)mallopt(M_ARENA_MAX, 1);
#endif
}

void releaseFreedMemory() noexcept {
  // glibc keeps freed memory at the top of each arena up to a threshold
  // that grows with the largest blocks freed, so one large answer raises
  // the resident size for good unless the arenas are trimmed.
#if defined(__GLIBC__)
  (void)malloc_trim(0);
#endif
}

}  // namespace platform
