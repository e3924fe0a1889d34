#pragma once

#include "tavrine/base/error.h"

#include <functional>

namespace platform {

// Starts `body` on a detached thread with a 16 MiB stack and a 16 KiB guard
// area: the check cycle and the sign-in run deep library code (TLS, the
// runtime) that the smaller default stacks of some systems do not suit.
// SystemResources when the system is out of threads or memory.
[[nodiscard]] Result<void> startDetachedThread(std::function<void()> body);

}  // namespace platform
