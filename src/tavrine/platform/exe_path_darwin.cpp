#include "tavrine/platform/exe_path.h"

#include <mach-o/dyld.h>

#include <array>
#include <cstdint>

namespace platform {

Result<std::string> executablePath() {
  std::array<char, kExecutablePathLimit + 1> reported{};
  auto size = static_cast<uint32_t>(reported.size());
  // -1 when the path (with its terminating zero) does not fit.
  if (::_NSGetExecutablePath(reported.data(), &size) != 0) return fail(Error::NameTooLong);
  return resolveExecutablePath(reported.data());
}

bool isNativeExecutable(std::string_view bytes) noexcept {
  return isMachOExecutableFor(bytes, thisMachine().mach_o);
}

}  // namespace platform
