// Every check's reading of its tool's output: any output reads without a
// fault, and the values it yields are pieces of that output.
#include "tavrine/collect/collector_checks.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace checks = tavrine::checks;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view output(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string_view> present = output;

  (void)checks::screenSaverIdleTime(present);
  // The running version is the text after the last line feed.
  const std::string_view running = output.substr(output.rfind('\n') + 1);
  const auto updates = checks::softwareUpdates(present, running);
  if (updates.pending_updates_count > size) std::abort();
  if (const auto serial = checks::serialNumber(present); serial && serial->size() > size) {
    std::abort();
  }
  if (checks::deviceId(present).size() > std::max<size_t>(size, 17)) std::abort();
  (void)checks::diskEncryption(present);
  (void)checks::firewall(present);
  (void)checks::secureBootPolicy(present);
  (void)checks::secureBootMode(present);
  (void)checks::screenLockPassword(present);
  (void)checks::screenLockDelay(present);
  (void)checks::systemIntegrityProtection(present);
  (void)checks::gatekeeper(present);
  (void)checks::mdmEnrollment(present);
  (void)checks::vpn(present);
  (void)checks::autoLoginDisabled(present);
  (void)checks::remoteLogin(present);

  // The key is the text before the first NUL, searched for in the rest.
  const size_t split = output.find('\0');
  if (split != std::string_view::npos) {
    const std::string_view key = output.substr(0, split);
    const std::string_view text = output.substr(split + 1);
    if (const auto value = checks::quotedValueAfter(text, key)) {
      if (value->data() < text.data() || value->data() + value->size() > text.data() + text.size())
        std::abort();
    }
  }
  return 0;
}
