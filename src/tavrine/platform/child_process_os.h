#pragma once

// The few steps of starting and awaiting a child that differ between the
// operating systems; each has its own child_process_<os>.cpp.

#include "tavrine/base/error.h"

#include <spawn.h>

namespace platform {

// Adds what this OS needs so that a child inherits only standard input (and
// standard output and error when `inherit_output`) and the descriptors the
// file actions set up. `flags` are the spawn flags so far.
[[nodiscard]] Result<void> prepareSpawn(posix_spawnattr_t& attributes,
                                        posix_spawn_file_actions_t& actions, short& flags,
                                        bool inherit_output) noexcept;

}  // namespace platform
