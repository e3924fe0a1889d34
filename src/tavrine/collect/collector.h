#pragma once

#include "tavrine/base/error.h"
#include "tavrine/collect/check_status.h"
#include "tavrine/collect/collector_checks.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
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

// How long a software update listing is reused.
inline constexpr std::chrono::hours kUpdateListingMaxAge{1};

// The last software update listing's result, reused by the collections of
// the next hour: the listing asks Apple's catalogue over the network, and
// macOS itself checks about once a day. A result is kept only when it told
// something (a listing that could not be read is asked for again at the next
// collection) and only for the OS version it was read against: after an
// update installs, the listing is read again. Safe to share between threads.
class UpdateListingCache {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // `clock` tells the time; the wall clock, so that a Mac asleep for the
  // night finds its listing old when it wakes.
  explicit UpdateListingCache(Clock clock = &std::chrono::system_clock::now);

  // A result read less than kUpdateListingMaxAge ago, with the version it was
  // read against; nothing when there is none.
  struct Entry {
    checks::PendingUpdates result;
    std::string os_version;
  };
  [[nodiscard]] std::optional<Entry> recent() const;

  // Keeps `result`, read now against `os_version`; forgets the last result
  // instead when `result` is unknown.
  void store(const checks::PendingUpdates& result, std::string_view os_version);

 private:
  Clock clock_;
  mutable std::mutex lock_;
  std::optional<Entry> entry_;
  std::chrono::system_clock::time_point read_at_{};
};

// Collects the device's tavrine by running the OS tools one after another,
// the update listing at most once an hour for the whole process. Never fails because a tool failed:
// each check falls back to its default, as do the checks left once the collection's time limit is
// spent. Fails only with OutOfMemory, or Canceled when the process was asked to stop while
// collecting (platform::requestStop: the tool under way is killed, the rest are not run). The one
// message is a warning on standard error when the OS version cannot be read.
[[nodiscard]] Result<DeviceTavrine> collect();

// The same through the programs of `tools`, reading the software update
// listing every time.
[[nodiscard]] Result<DeviceTavrine> collect(const Tools& tools);

// The same, with the update listing's result taken from `updates` while it
// is recent, and kept there when it was read.
[[nodiscard]] Result<DeviceTavrine> collect(const Tools& tools, UpdateListingCache& updates);

}  // namespace tavrine
