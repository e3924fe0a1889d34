#pragma once

// The few steps of starting and awaiting a child that differ between the
// operating systems; each has its own child_process_<os>.cpp.

#include "tavrine/base/error.h"

#include <spawn.h>

namespace platform {

// The spawn flags this OS adds to every child's.
[[nodiscard]] short osSpawnFlags() noexcept;

// Adds what this OS needs so that a child inherits only standard input (and
// standard output and error when `inherit_output`) and the descriptors the
// file actions set up, given the flags of osSpawnFlags().
[[nodiscard]] Result<void> prepareSpawn(posix_spawn_file_actions_t& actions,
                                        bool inherit_output) noexcept;

}  // namespace platform
