#include "tavrine/collector.h"

#include "tavrine/console.h"
#include "tavrine/platform/command_runner.h"
#include "tavrine/collector_checks.h"

#include <chrono>
#include <new>
#include <vector>

std::string_view checkStatusName(CheckStatus status) noexcept {
  switch (status) {
    case CheckStatus::enabled:
      return "enabled";
    case CheckStatus::disabled:
      return "disabled";
    case CheckStatus::unknown:
      return "unknown";
    case CheckStatus::not_applicable:
      return "not_applicable";
  }
  return "unknown";
}

namespace tavrine {

namespace {

using platform::macos::execCommand;
using platform::macos::execCommandAllowFail;

// A strict run's output for the pure checks: absent when the command failed.
std::optional<std::string_view> seen(const Result<std::string>& output) noexcept {
  if (!output) return std::nullopt;
  return std::string_view(*output);
}

std::optional<std::string_view> seen(const std::optional<std::string>& output) noexcept {
  if (!output) return std::nullopt;
  return std::string_view(*output);
}

int64_t secondsSinceEpoch() noexcept {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

DeviceTavrine gather(const Tools& tools) {
  const auto limit = tools.time_limit;
  DeviceTavrine record;

  {
    const auto idle = execCommandAllowFail(
        {tools.defaults, "-currentHost", "read", "com.apple.screensaver", "idleTime"}, limit);
    const auto screen = checks::screenSaverIdleTime(seen(idle));
    record.screen_lock = screen.screen_lock;
    record.screen_lock_timeout = screen.screen_lock_timeout;
  }
  {
    const auto updates = checks::softwareUpdates(
        seen(execCommand({tools.softwareupdate, "-l"}, tools.update_time_limit)));
    record.pending_updates_count = updates.pending_updates_count;
    record.os_up_to_date = updates.os_up_to_date;
  }
  record.device_id = checks::deviceId(
      seen(execCommand({tools.ioreg, "-rd1", "-c", "IOPlatformExpertDevice"}, limit)));
  if (auto version = execCommand({tools.sw_vers, "-productVersion"}, limit)) {
    record.os_version = std::move(*version);
  } else {
    console::warning("Failed to get macOS version: error.{}", errorName(version.error()));
    record.os_version = "unknown";
  }
  record.disk_encryption =
      checks::diskEncryption(seen(execCommand({tools.fdesetup, "status"}, limit)));
  record.firewall =
      checks::firewall(seen(execCommand({tools.socketfilterfw, "--getglobalstate"}, limit)));
  record.secure_boot = checks::secureBoot(seen(execCommand(
      {tools.nvram, "94b73556-2197-4702-82a8-3e1337dafbfb:AppleSecureBootPolicy"}, limit)));

  record.timestamp = secondsSinceEpoch();

  record.screen_lock_password = checks::screenLockPassword(seen(execCommandAllowFail(
      {tools.defaults, "read", "com.apple.screensaver", "askForPassword"}, limit)));
  record.sip =
      checks::systemIntegrityProtection(seen(execCommand({tools.csrutil, "status"}, limit)));
  // Gatekeeper answers "disabled" with a failing exit status: the text
  // decides, not the status.
  record.gatekeeper =
      checks::gatekeeper(seen(execCommandAllowFail({tools.spctl, "--status"}, limit)));

  record.xprotect_version = execCommandAllowFail(
      {tools.defaults, "read",
       "/Library/Apple/System/Library/CoreServices/XProtect.bundle/Contents/Info.plist",
       "CFBundleShortVersionString"},
      limit);
  if (!record.xprotect_version) {
    record.xprotect_version = execCommandAllowFail(
        {tools.defaults, "read", "/System/Library/CoreServices/XProtect.bundle/Contents/Info.plist",
         "CFBundleShortVersionString"},
        limit);
  }

  record.mdm_enrolled = checks::mdmEnrollment(
      seen(execCommand({tools.profiles, "status", "-type", "enrollment"}, limit)));
  record.vpn_connected = checks::vpn(seen(execCommand({tools.scutil, "--nc", "list"}, limit)));
  record.auto_login_disabled = checks::autoLoginDisabled(seen(execCommandAllowFail(
      {tools.defaults, "read", "/Library/Preferences/com.apple.loginwindow", "autoLoginUser"},
      limit)));

  record.remote_login =
      checks::remoteLogin(seen(execCommandAllowFail({tools.launchctl, "list"}, limit)));
  if (record.remote_login == CheckStatus::disabled) {
    // Seen from a per-user agent the list holds only the user's own jobs;
    // the system domain knows whether the SSH daemon is loaded.
    record.remote_login = checks::remoteLoginFromSystemJob(
        execCommand({tools.launchctl, "print", "system/com.openssh.sshd"}, limit).has_value());
  }

  record.hostname = execCommandAllowFail({tools.hostname}, limit);
  record.model = execCommandAllowFail({tools.sysctl, "-n", "hw.model"}, limit);
  {
    const auto listing = execCommandAllowFail({tools.ioreg, "-l"}, limit);
    try {
      record.serial_number = checks::serialNumber(seen(listing));
    } catch (const std::bad_alloc&) {
      record.serial_number.reset();  // an absent serial number, not a failed collection
    }
  }
  return record;
}

}  // namespace

Result<DeviceTavrine> collect() { return collect(Tools{}); }

Result<DeviceTavrine> collect(const Tools& tools) {
  try {
    return gather(tools);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tavrine
