#pragma once

// Handing freed heap memory back to the operating system; one
// memory_<os>.cpp per system.
namespace platform {

// Makes large blocks (128 KiB and more) always take mappings of their own,
// returned to the system when freed, instead of the heap's arenas, which
// keep a thread's freed pages. Called once, at agent start.
void keepLargeBlocksOutOfTheHeap() noexcept;

// Returns the pages of freed heap memory to the system where the allocator
// keeps them otherwise. Costs a walk over the heap; safe from any thread.
void releaseFreedMemory() noexcept;

}  // namespace platform
