#pragma once

// The parts of the process helpers that differ between the operating
// systems; each has its own process_<os>.cpp.

#include "tavrine/base/unique_fd.h"

namespace test_support {

// A TCP socket that no child process inherits.
UniqueFd openTcpSocket();

}  // namespace test_support
