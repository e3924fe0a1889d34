#pragma once

#include "error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The outcome of one security check. `enabled` always means the control the
// field names is in force.
enum class CheckStatus : uint8_t { enabled = 0, disabled = 1, unknown = 2, not_applicable = 3 };

// "enabled", "disabled", "unknown" or "not_applicable".
[[nodiscard]] std::string_view checkStatusName(CheckStatus status) noexcept;

// The device's collected security state. Every field has a value even when
// its check could not tell (see the defaults).
struct DeviceTavrine {
  std::string device_id = "unknown-device-id";
  std::string_view platform = "darwin";
  std::string_view os_name = "macOS";
  std::string os_version = "unknown";
  std::optional<std::string> hostname;
  std::optional<std::string> model;
  std::optional<std::string> serial_number;
  CheckStatus disk_encryption = CheckStatus::unknown;
  CheckStatus firewall = CheckStatus::unknown;
  CheckStatus secure_boot = CheckStatus::unknown;
  CheckStatus screen_lock = CheckStatus::unknown;
  std::optional<uint32_t> screen_lock_timeout;
  CheckStatus screen_lock_password = CheckStatus::unknown;
  CheckStatus sip = CheckStatus::unknown;
  CheckStatus gatekeeper = CheckStatus::unknown;
  std::optional<std::string> xprotect_version;
  CheckStatus os_up_to_date = CheckStatus::enabled;
  uint32_t pending_updates_count = 0;
  CheckStatus mdm_enrolled = CheckStatus::unknown;
  CheckStatus vpn_connected = CheckStatus::unknown;
  CheckStatus auto_login_disabled = CheckStatus::enabled;
  CheckStatus remote_login = CheckStatus::unknown;
  int64_t timestamp = 0;

  friend bool operator==(const DeviceTavrine&, const DeviceTavrine&) = default;
};

namespace tavrine {

// Collects the device's tavrine by running the OS tools. Never fails because
// a tool failed: each check falls back to its default. Only OutOfMemory.
[[nodiscard]] Result<DeviceTavrine> collect();

}  // namespace tavrine
