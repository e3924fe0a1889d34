#pragma once

// Handing freed heap memory back to the operating system; one
// memory_<os>.cpp per system.
namespace platform {

// Makes large blocks (128 KiB and more) always take mappings of their own,
// returned to the system when freed, instead of the heap's arenas, which
// keep a thread's freed pages. Called once, at agent start.
void keepLargeBlocksOutOfTheHeap() noexcept;

// Makes every thread allocate from the one heap arena. The agent's threads
// allocate little and seldom at once, and an arena of its own would keep the
// check thread's freed pages apart. Called once, at agent start, before any
// thread is started.
void useOneHeapArena() noexcept;

// Returns the pages of freed heap memory to the system where the allocator
// keeps them otherwise. Costs a walk over the heap; safe from any thread.
void releaseFreedMemory() noexcept;

}  // namespace platform
