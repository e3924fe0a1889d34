#pragma once

#include "tavrine/base/error.h"

namespace agent {

// Runs the long-lived agent until it is told to stop.
[[nodiscard]] Result<void> runAgent();

}  // namespace agent
