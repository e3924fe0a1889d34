#include "tavrine/platform/exe_path.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace platform {

Result<std::string> resolveExecutablePath(const char* reported) {
  if (std::strlen(reported) > kExecutablePathLimit) return fail(Error::NameTooLong);
  // realpath() with a buffer of our own would need PATH_MAX bytes, which is
  // larger than the limit here; let it allocate and check the length after.
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(reported, nullptr),
                                                             &std::free);
  if (!resolved) return fail(errorFromErrno(errno));
  std::string path(resolved.get());
  if (path.size() > kExecutablePathLimit) return fail(Error::NameTooLong);
  return path;
}

bool startsLikeElf(std::string_view bytes) noexcept {
  return bytes.starts_with(
      "\x7f"
      "ELF");
}

bool startsLikeMachO(std::string_view bytes) noexcept {
  // Thin images start with their magic in the image's byte order (little
  // endian on every Mac), universal ones with the fat header's, big endian.
  // Both orders are accepted for each.
  constexpr std::string_view kMagics[] = {
      "\xfe\xed\xfa\xce", "\xce\xfa\xed\xfe",  // 32-bit
      "\xfe\xed\xfa\xcf", "\xcf\xfa\xed\xfe",  // 64-bit
      "\xca\xfe\xba\xbe", "\xbe\xba\xfe\xca",  // universal
      "\xca\xfe\xba\xbf", "\xbf\xba\xfe\xca",  // universal, 64-bit offsets
  };
  for (const std::string_view magic : kMagics) {
    if (bytes.starts_with(magic)) return true;
  }
  return false;
}

}  // namespace platform
