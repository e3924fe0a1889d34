#include "tavrine/platform/exe_path.h"

#include <unistd.h>

#include <array>
#include <cerrno>

namespace platform {

Result<std::string> executablePath() {
  // One byte more than the limit tells a path that fits from one cut short.
  std::array<char, kExecutablePathLimit + 2> reported{};
  const ssize_t length = ::readlink("/proc/self/exe", reported.data(), kExecutablePathLimit + 1);
  if (length < 0) return fail(errorFromErrno(errno));
  if (static_cast<size_t>(length) > kExecutablePathLimit) return fail(Error::NameTooLong);
  reported[static_cast<size_t>(length)] = '\0';
  return resolveExecutablePath(reported.data());
}

bool isNativeExecutable(std::string_view bytes) noexcept {
  return isElfExecutableFor(bytes, thisMachine().elf);
}

}  // namespace platform
