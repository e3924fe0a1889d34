#pragma once

#include "tavrine/base/error.h"
#include "tavrine/collect/check_status.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
  CheckStatus os_up_to_date = CheckStatus::unknown;
  uint32_t pending_updates_count = 0;
  CheckStatus mdm_enrolled = CheckStatus::unknown;
  CheckStatus vpn_connected = CheckStatus::unknown;
  CheckStatus auto_login_disabled = CheckStatus::enabled;
  CheckStatus remote_login = CheckStatus::unknown;
  int64_t timestamp = 0;

  friend bool operator==(const DeviceTavrine&, const DeviceTavrine&) = default;
};

namespace tavrine {

// The programs the collector runs and how long each may take. A
// default-constructed table names the operating system's own tools: found
// along PATH, except the firewall tool, which lives at a fixed path.
struct Tools {
  std::string defaults = "defaults";
  std::string softwareupdate = "softwareupdate";
  std::string ioreg = "ioreg";
  std::string sw_vers = "sw_vers";
  std::string fdesetup = "fdesetup";
  std::string socketfilterfw = "/usr/libexec/ApplicationFirewall/socketfilterfw";
  std::string nvram = "nvram";
  std::string csrutil = "csrutil";
  std::string spctl = "spctl";
  std::string profiles = "profiles";
  std::string scutil = "scutil";
  std::string launchctl = "launchctl";
  std::string hostname = "hostname";
  std::string sysctl = "sysctl";
  std::string system_profiler = "system_profiler";
  std::string sysadminctl = "sysadminctl";
  // The limit for every command but the update listing, which waits on the
  // network and gets its own.
  std::chrono::milliseconds time_limit = std::chrono::seconds(30);
  std::chrono::milliseconds update_time_limit = std::chrono::seconds(120);
  // The whole collection's limit: once it is spent, the checks still to come
  // are not run and read as if their tool had failed. Without it a machine
  // whose tools all hang would wait out every limit above in turn.
  std::chrono::milliseconds collection_time_limit = std::chrono::seconds(180);
};

// Collects the device's tavrine by running the OS tools one after another.
// Never fails because a tool failed: each check falls back to its default,
// as do the checks left once the collection's time limit is spent.
// Fails only with OutOfMemory, or Canceled when the process was asked to stop
// while collecting (platform::requestStop: the tool under way is killed, the
// rest are not run). The one message is a warning on standard error when the
// OS version cannot be read.
[[nodiscard]] Result<DeviceTavrine> collect();

// The same through the programs of `tools`.
[[nodiscard]] Result<DeviceTavrine> collect(const Tools& tools);

}  // namespace tavrine
