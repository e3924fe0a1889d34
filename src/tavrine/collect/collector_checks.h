#pragma once

#include "tavrine/collect/check_status.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// How each check reads its tool's output. Pure functions of the trimmed
// output; nothing here runs a command. An absent argument means that the
// strict runner failed, or that the tolerant one gave no output.
namespace tavrine::checks {

struct ScreenLock {
  CheckStatus screen_lock = CheckStatus::unknown;
  std::optional<uint32_t> screen_lock_timeout;
  friend bool operator==(const ScreenLock&, const ScreenLock&) = default;
};

struct PendingUpdates {
  uint32_t pending_updates_count = 0;
  CheckStatus os_up_to_date = CheckStatus::enabled;
  friend bool operator==(const PendingUpdates&, const PendingUpdates&) = default;
};

// Screen saver idle time in seconds: a plain unsigned 32-bit decimal number.
[[nodiscard]] ScreenLock screenSaverIdleTime(std::optional<std::string_view> output);

// Software update listing, standard error included: one pending update per
// "* Label:" entry, except an upgrade to another major macOS than
// `running_version` (what sw_vers prints) and developer tools, neither of
// which leaves the running system unpatched. No listing (the tool could not
// run, or could not reach the catalogue): unknown, and a count of 0.
[[nodiscard]] PendingUpdates softwareUpdates(std::optional<std::string_view> output,
                                             std::string_view running_version);

// The text after the first `key` and before the next double quote; absent
// when either is missing.
[[nodiscard]] std::optional<std::string_view> quotedValueAfter(std::string_view text,
                                                               std::string_view key) noexcept;

// The platform UUID from the platform expert device's registry entry, or
// "unknown-device-id".
[[nodiscard]] std::string deviceId(std::optional<std::string_view> output);

// The serial number from the platform expert device's entry or, failing that,
// from the full registry listing.
[[nodiscard]] std::optional<std::string> serialNumber(std::optional<std::string_view> output);

[[nodiscard]] CheckStatus diskEncryption(std::optional<std::string_view> output) noexcept;
[[nodiscard]] CheckStatus firewall(std::optional<std::string_view> output) noexcept;

// The secure boot policy variable of a T2 Mac: a verdict for the policies it
// knows, nothing when the variable is missing (every Apple silicon Mac, and
// Intel Macs without T2) or holds another value.
[[nodiscard]] std::optional<CheckStatus> secureBootPolicy(
    std::optional<std::string_view> output) noexcept;

// The "Secure Boot:" line of the system profiler's boot policy report:
// not_applicable when there is none (an Intel Mac without T2), unknown when
// the profiler failed or names a mode not known here.
[[nodiscard]] CheckStatus secureBootMode(std::optional<std::string_view> output) noexcept;

// The screen saver's askForPassword key, which only old systems and
// configuration profiles still write.
[[nodiscard]] CheckStatus screenLockPassword(std::optional<std::string_view> output) noexcept;

// The answer of sysadminctl -screenLock status, standard error included: a
// delay (immediate or some seconds) means a password is asked for.
[[nodiscard]] CheckStatus screenLockDelay(std::optional<std::string_view> output) noexcept;

[[nodiscard]] CheckStatus systemIntegrityProtection(std::optional<std::string_view> output) noexcept;
[[nodiscard]] CheckStatus gatekeeper(std::optional<std::string_view> output) noexcept;
[[nodiscard]] CheckStatus mdmEnrollment(std::optional<std::string_view> output) noexcept;
[[nodiscard]] CheckStatus vpn(std::optional<std::string_view> output) noexcept;
[[nodiscard]] CheckStatus autoLoginDisabled(std::optional<std::string_view> output) noexcept;

// From the job list alone: enabled when the SSH daemon's job is listed,
// disabled when the list lacks it, unknown without a list. A per-user agent
// only sees its own jobs, so `disabled` here still needs the system domain's
// answer (remoteLoginFromSystemJob).
[[nodiscard]] CheckStatus remoteLogin(std::optional<std::string_view> job_list) noexcept;

// The system domain's answer: enabled when the SSH daemon's job could be
// printed there, disabled otherwise.
[[nodiscard]] CheckStatus remoteLoginFromSystemJob(bool job_printed) noexcept;

}  // namespace tavrine::checks
