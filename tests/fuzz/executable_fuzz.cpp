// The header checks on a downloaded build: any bytes are read within their
// bounds, whatever offsets and counts they claim, and nothing shorter than a
// whole header passes.
#include "tavrine/platform/exe_path.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (const uint16_t machine : {uint16_t{62}, uint16_t{183}}) {
    if (platform::isElfExecutableFor(bytes, machine) && size < 64) std::abort();
  }
  for (const uint32_t cpu_type : {0x01000007u, 0x0100000cu}) {
    if (platform::isMachOExecutableFor(bytes, cpu_type) && size < 32) std::abort();
  }
  return 0;
}
