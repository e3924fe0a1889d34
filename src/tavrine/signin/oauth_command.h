#pragma once

#include "tavrine/base/error.h"

namespace oauth {

// The `login` command: browser sign-in, then the tokens saved with the
// device token already stored. A failed sign-in prints "Login failed" and
// succeeds; only a failed save is an error.
[[nodiscard]] Result<void> loginCommand();

}  // namespace oauth
