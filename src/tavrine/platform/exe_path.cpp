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

Machine thisMachine() noexcept {
#if defined(__x86_64__)
  return {.elf = 62, .mach_o = 0x01000007};  // EM_X86_64, CPU_TYPE_X86_64
#elif defined(__aarch64__)
  return {.elf = 183, .mach_o = 0x0100000c};  // EM_AARCH64, CPU_TYPE_ARM64
#else
#error "no machine numbers for this processor"
#endif
}

namespace {

// Fixed-width integers at `offset`, in the byte order the format names.
template <class T>
T little(std::string_view bytes, size_t offset) noexcept {
  T value = 0;
  for (size_t i = sizeof(T); i-- > 0;) {
    value = static_cast<T>((value << 8) | static_cast<unsigned char>(bytes[offset + i]));
  }
  return value;
}

template <class T>
T big(std::string_view bytes, size_t offset) noexcept {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) {
    value = static_cast<T>((value << 8) | static_cast<unsigned char>(bytes[offset + i]));
  }
  return value;
}

}  // namespace

bool isElfExecutableFor(std::string_view bytes, uint16_t machine) noexcept {
  constexpr size_t kHeaderSize = 64;  // Elf64_Ehdr
  if (bytes.size() < kHeaderSize) return false;
  constexpr std::string_view kMagic = "\x7f\x45\x4c\x46";  // 0x7f, then "ELF"
  if (!bytes.starts_with(kMagic)) return false;
  constexpr char kClass64 = 2;
  constexpr char kLittleEndian = 1;
  constexpr char kCurrentVersion = 1;
  if (bytes[4] != kClass64 || bytes[5] != kLittleEndian || bytes[6] != kCurrentVersion) {
    return false;
  }
  constexpr uint16_t kExecutable = 2;        // ET_EXEC
  constexpr uint16_t kSharedOrPosition = 3;  // ET_DYN: a position-independent executable
  const auto type = little<uint16_t>(bytes, 16);
  if (type != kExecutable && type != kSharedOrPosition) return false;
  if (little<uint16_t>(bytes, 18) != machine) return false;
  if (little<uint32_t>(bytes, 20) != kCurrentVersion) return false;
  // The header says how long it is; an image that ends inside it is cut off.
  const auto header_size = little<uint16_t>(bytes, 52);
  return header_size >= kHeaderSize && header_size <= bytes.size();
}

namespace {

constexpr uint32_t kMachO64 = 0xfeedfacf;  // MH_MAGIC_64, written little-endian
constexpr size_t kMachO64HeaderSize = 32;  // mach_header_64

bool isThinMachOFor(std::string_view bytes, uint32_t cpu_type) noexcept {
  if (bytes.size() < kMachO64HeaderSize) return false;
  if (little<uint32_t>(bytes, 0) != kMachO64) return false;
  if (little<uint32_t>(bytes, 4) != cpu_type) return false;
  constexpr uint32_t kExecute = 2;  // MH_EXECUTE
  if (little<uint32_t>(bytes, 12) != kExecute) return false;
  // The load commands follow the header and must be there.
  const auto commands_size = little<uint32_t>(bytes, 20);
  return commands_size <= bytes.size() - kMachO64HeaderSize;
}

}  // namespace

bool isMachOExecutableFor(std::string_view bytes, uint32_t cpu_type) noexcept {
  if (isThinMachOFor(bytes, cpu_type)) return true;
  // A universal image: a big-endian table of slices, 32- or 64-bit offsets.
  constexpr uint32_t kFat = 0xcafebabe;
  constexpr uint32_t kFat64 = 0xcafebabf;
  if (bytes.size() < 8) return false;
  const auto magic = big<uint32_t>(bytes, 0);
  if (magic != kFat && magic != kFat64) return false;
  const size_t entry_size = magic == kFat ? 20 : 32;
  const auto count = big<uint32_t>(bytes, 4);
  // Java class files share the magic; their "count" is a version number far
  // above any real number of slices.
  constexpr uint32_t kMostSlices = 32;
  if (count == 0 || count > kMostSlices || 8 + count * entry_size > bytes.size()) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t entry = 8 + i * entry_size;
    if (big<uint32_t>(bytes, entry) != cpu_type) continue;
    const uint64_t offset =
        magic == kFat ? big<uint32_t>(bytes, entry + 8) : big<uint64_t>(bytes, entry + 8);
    const uint64_t size =
        magic == kFat ? big<uint32_t>(bytes, entry + 12) : big<uint64_t>(bytes, entry + 16);
    if (offset > bytes.size() || size > bytes.size() - offset) return false;
    return isThinMachOFor(bytes.substr(offset, size), cpu_type);
  }
  return false;
}

}  // namespace platform
