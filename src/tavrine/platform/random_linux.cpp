#include "tavrine/platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

void randomBytes(std::span<uint8_t> out) noexcept {
  size_t filled = 0;
  while (filled < out.size()) {
    // Blocks only until the kernel's pool has been seeded once after boot;
    // a signal may cut a request short.
    const ssize_t got = ::getrandom(out.data() + filled, out.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      std::abort();  // no random source at all: nothing secret can be made
    }
    filled += static_cast<size_t>(got);
  }
}

}  // namespace platform
