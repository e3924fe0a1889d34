#include "tavrine/platform/memory.h"

#include <malloc/malloc.h>

namespace platform {

// The system allocator gives large blocks their own regions already.
void keepLargeBlocksOutOfTheHeap() noexcept {}

// The system allocator's zones are not per thread.
void useOneHeapArena() noexcept {}

void releaseFreedMemory() noexcept {
  // All zones, as much as they can give back.
  (void)malloc_zone_pressure_relief(nullptr, 0);
}

}  // namespace platform
