#include "tavrine/platform/random.h"

#include <stdlib.h>

namespace platform {

void randomBytes(std::span<uint8_t> out) noexcept { ::arc4random_buf(out.data(), out.size()); }

}  // namespace platform
