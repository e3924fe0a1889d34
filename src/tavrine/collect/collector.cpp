#include "tavrine/collect/collector.h"

#include "tavrine/base/console.h"
#include "tavrine/base/immortal.h"
#include "tavrine/collect/collector_checks.h"
#include "tavrine/platform/command_runner.h"
#include "tavrine/platform/stop_request.h"

#include <chrono>
#include <new>
#include <vector>

namespace tavrine {

namespace {

// Runs the tools within the collection's time limit: each command gets its
// own limit or what is left of the collection's, whichever is shorter, and
// once nothing is left a command is not started and counts as timed out.
class Runner {
 public:
  explicit Runner(const Tools& tools)
      : deadline_(std::chrono::steady_clock::now() + tools.collection_time_limit) {}

  Result<std::string> strict(platform::Arguments argv, std::chrono::milliseconds limit) const {
    const auto left = timeLeft(limit);
    if (left <= std::chrono::milliseconds::zero()) return fail(Error::Timeout);
    return platform::macos::execCommand(argv, left);
  }

  std::optional<std::string> tolerant(platform::Arguments argv,
                                      std::chrono::milliseconds limit) const {
    const auto left = timeLeft(limit);
    if (left <= std::chrono::milliseconds::zero()) return std::nullopt;
    return platform::macos::execCommandAllowFail(argv, left);
  }

  // The tolerant run of a tool that answers on standard error.
  std::optional<std::string> tolerantWithErrors(platform::Arguments argv,
                                                std::chrono::milliseconds limit) const {
    const auto left = timeLeft(limit);
    if (left <= std::chrono::milliseconds::zero()) return std::nullopt;
    return platform::macos::execCommandAllowFailWithErrors(argv, left);
  }

 private:
  std::chrono::milliseconds timeLeft(std::chrono::milliseconds limit) const {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
    return std::min(limit, left);
  }

  std::chrono::steady_clock::time_point deadline_;
};

// A strict run's output for the pure checks: absent when the command failed.
std::optional<std::string_view> seen(const Result<std::string>& output) noexcept {
  if (!output) return std::nullopt;
  return std::string_view(*output);
}

std::optional<std::string_view> seen(const std::optional<std::string>& output) noexcept {
  if (!output) return std::nullopt;
  return std::string_view(*output);
}

// No memory for the copy means an absent serial number, not a failed
// collection.
std::optional<std::string> serialNumberOrAbsent(std::optional<std::string_view> output) noexcept {
  try {
    return checks::serialNumber(output);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

int64_t secondsSinceEpoch() noexcept {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

DeviceTavrine gather(const Tools& tools, UpdateListingCache* updates) {
  const auto limit = tools.time_limit;
  const Runner run(tools);
  DeviceTavrine record;

  {
    const auto idle = run.tolerant(
        {tools.defaults, "-currentHost", "read", "com.apple.screensaver", "idleTime"}, limit);
    const auto screen = checks::screenSaverIdleTime(seen(idle));
    record.screen_lock = screen.screen_lock;
    record.screen_lock_timeout = screen.screen_lock_timeout;
  }
  // Read once the running version is known, which tells a pending update
  // from an upgrade to the next major release. The words decide, not the
  // exit status: with nothing to install some releases exit 0 and others 1,
  // and the "nothing" and "cannot connect" answers come on standard error.
  // A recent result stands in for the listing unless the OS version has
  // changed since it was read.
  std::optional<UpdateListingCache::Entry> recent;
  if (updates != nullptr) recent = updates->recent();
  const auto readListing = [&] {
    return run.tolerantWithErrors({tools.softwareupdate, "-l"}, tools.update_time_limit);
  };
  std::optional<std::string> update_listing;
  if (!recent) update_listing = readListing();
  {
    // The platform node also names the serial number: reading it here spares
    // the full registry listing, which on current Macs runs to megabytes,
    // past what the runner keeps.
    const auto expert = run.strict({tools.ioreg, "-rd1", "-c", "IOPlatformExpertDevice"}, limit);
    record.device_id = checks::deviceId(seen(expert));
    record.serial_number = serialNumberOrAbsent(seen(expert));
  }
  if (auto version = run.strict({tools.sw_vers, "-productVersion"}, limit)) {
    record.os_version = std::move(*version);
  } else {
    // A collection cut short by a stop request is thrown away: no warning.
    if (version.error() != Error::Canceled) {
      console::warning("Failed to get macOS version: error.{}", errorName(version.error()));
    }
    record.os_version = "unknown";
  }
  if (recent && recent->os_version != record.os_version) {
    recent.reset();
    update_listing = readListing();
  }
  {
    const auto pending =
        recent ? recent->result : checks::softwareUpdates(seen(update_listing), record.os_version);
    if (updates != nullptr && !recent) updates->store(pending, record.os_version);
    record.pending_updates_count = pending.pending_updates_count;
    record.os_up_to_date = pending.os_up_to_date;
  }
  record.disk_encryption =
      checks::diskEncryption(seen(run.strict({tools.fdesetup, "status"}, limit)));
  record.firewall =
      checks::firewall(seen(run.strict({tools.socketfilterfw, "--getglobalstate"}, limit)));
  {
    // Only T2 Macs keep the policy in this variable; Apple silicon Macs
    // report theirs through the system profiler, which finds no boot policy
    // at all on an Intel Mac without T2.
    const auto policy = checks::secureBootPolicy(seen(run.strict(
        {tools.nvram, "94b73556-2197-4702-82a8-3e1337dafbfb:AppleSecureBootPolicy"}, limit)));
    record.secure_boot = policy ? *policy
                                : checks::secureBootMode(seen(run.strict(
                                      {tools.system_profiler, "SPiBridgeDataType"}, limit)));
  }

  record.timestamp = secondsSinceEpoch();

  {
    // Since macOS 10.13 only profiles and old systems write this key; the
    // setting itself is told by sysadminctl, on standard error.
    const auto asked =
        run.tolerant({tools.defaults, "read", "com.apple.screensaver", "askForPassword"}, limit);
    record.screen_lock_password = asked
                                      ? checks::screenLockPassword(seen(asked))
                                      : checks::screenLockDelay(seen(run.tolerantWithErrors(
                                            {tools.sysadminctl, "-screenLock", "status"}, limit)));
  }
  record.sip =
      checks::systemIntegrityProtection(seen(run.strict({tools.csrutil, "status"}, limit)));
  // Gatekeeper answers "disabled" with a failing exit status: the text
  // decides, not the status.
  record.gatekeeper = checks::gatekeeper(seen(run.tolerant({tools.spctl, "--status"}, limit)));

  record.xprotect_version = run.tolerant(
      {tools.defaults, "read",
       "/Library/Apple/System/Library/CoreServices/XProtect.bundle/Contents/Info.plist",
       "CFBundleShortVersionString"},
      limit);
  if (!record.xprotect_version) {
    record.xprotect_version = run.tolerant(
        {tools.defaults, "read", "/System/Library/CoreServices/XProtect.bundle/Contents/Info.plist",
         "CFBundleShortVersionString"},
        limit);
  }

  record.mdm_enrolled = checks::mdmEnrollment(
      seen(run.strict({tools.profiles, "status", "-type", "enrollment"}, limit)));
  record.vpn_connected = checks::vpn(seen(run.strict({tools.scutil, "--nc", "list"}, limit)));
  record.auto_login_disabled = checks::autoLoginDisabled(seen(run.tolerant(
      {tools.defaults, "read", "/Library/Preferences/com.apple.loginwindow", "autoLoginUser"},
      limit)));

  record.remote_login = checks::remoteLogin(seen(run.tolerant({tools.launchctl, "list"}, limit)));
  if (record.remote_login == CheckStatus::disabled) {
    // Seen from a per-user agent the list holds only the user's own jobs;
    // the system domain knows whether the SSH daemon is loaded.
    record.remote_login = checks::remoteLoginFromSystemJob(
        run.strict({tools.launchctl, "print", "system/com.openssh.sshd"}, limit).has_value());
  }

  record.hostname = run.tolerant({tools.hostname}, limit);
  record.model = run.tolerant({tools.sysctl, "-n", "hw.model"}, limit);
  if (!record.serial_number) {
    record.serial_number = serialNumberOrAbsent(seen(run.tolerant({tools.ioreg, "-l"}, limit)));
  }
  return record;
}

}  // namespace

UpdateListingCache::UpdateListingCache(Clock clock) : clock_(std::move(clock)) {}

std::optional<UpdateListingCache::Entry> UpdateListingCache::recent() const {
  std::lock_guard guard(lock_);
  if (!entry_) return std::nullopt;
  const auto now = clock_();
  // A clock set back counts as old, as does one moved on by the hour.
  if (now < read_at_ || now - read_at_ >= kUpdateListingMaxAge) return std::nullopt;
  return entry_;
}

void UpdateListingCache::store(const checks::PendingUpdates& result, std::string_view os_version) {
  std::lock_guard guard(lock_);
  if (result.os_up_to_date == CheckStatus::unknown) {
    entry_.reset();
    return;
  }
  entry_ = Entry{result, std::string(os_version)};
  read_at_ = clock_();
}

namespace {

// The update listing of the agent's own collections.
UpdateListingCache& processUpdateListing() { return immortal<UpdateListingCache>(); }

Result<DeviceTavrine> collectWith(const Tools& tools, UpdateListingCache* updates) {
  try {
    DeviceTavrine record = gather(tools, updates);
    // The checks after the request read as failed, so the record would
    // misreport the device.
    if (platform::stopRequested()) return fail(Error::Canceled);
    return record;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace

Result<DeviceTavrine> collect() { return collect(Tools{}, processUpdateListing()); }

Result<DeviceTavrine> collect(const Tools& tools) { return collectWith(tools, nullptr); }

Result<DeviceTavrine> collect(const Tools& tools, UpdateListingCache& updates) {
  return collectWith(tools, &updates);
}

}  // namespace tavrine
