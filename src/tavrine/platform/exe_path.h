#pragma once

#include "tavrine/base/error.h"

#include <cstddef>
#include <cstdint>
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

// The machine numbers of a processor as the two executable formats write
// them: ELF's e_machine and Mach-O's cputype.
struct Machine {
  uint16_t elf = 0;
  uint32_t mach_o = 0;
};

// The processor this program was built for.
[[nodiscard]] Machine thisMachine() noexcept;

// Whether `bytes` are a program this process could run: on Linux a 64-bit
// ELF executable or position-independent executable for thisMachine(), on
// macOS a 64-bit Mach-O executable for it, or a universal one holding such a
// slice. The whole header is read; a file that only starts like a program
// is refused.
[[nodiscard]] bool isNativeExecutable(std::string_view bytes) noexcept;

// The two tests behind isNativeExecutable, for either platform and any
// machine. Only 64-bit little-endian images, the kind both processors run.
[[nodiscard]] bool isElfExecutableFor(std::string_view bytes, uint16_t machine) noexcept;
[[nodiscard]] bool isMachOExecutableFor(std::string_view bytes, uint32_t cpu_type) noexcept;

}  // namespace platform
