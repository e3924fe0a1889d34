#pragma once

#include "tavrine/error.h"

namespace oauth {

// The `login` command: browser sign-in, then the tokens saved.
[[nodiscard]] Result<void> loginCommand();

}  // namespace oauth
