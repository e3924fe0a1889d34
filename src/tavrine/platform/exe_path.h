#pragma once

#include "tavrine/base/error.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// The longest executable path the update accepts, as the system reports it
// and after resolution.
inline constexpr size_t kExecutablePathLimit = 1024;

// The running executable's absolute path with every symbolic link resolved.
// NameTooLong when either form is longer than kExecutablePathLimit; the
// system's error when it cannot tell or resolve the path.
[[nodiscard]] Result<std::string> executablePath();

// Resolves `reported` with realpath(), within kExecutablePathLimit.
[[nodiscard]] Result<std::string> resolveExecutablePath(const char* reported);

// Whether `bytes` start like a program this platform runs: an ELF image on
// Linux, a thin or universal Mach-O image on macOS.
[[nodiscard]] bool isNativeExecutable(std::string_view bytes) noexcept;

// The two magic tests behind isNativeExecutable, for either platform.
[[nodiscard]] bool startsLikeElf(std::string_view bytes) noexcept;
[[nodiscard]] bool startsLikeMachO(std::string_view bytes) noexcept;

}  // namespace platform
