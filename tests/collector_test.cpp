#include "tavrine/collect/collector.h"

#include "support/process.h"
#include "support/temp_dir.h"
#include "tavrine/collect/collector_checks.h"
#include "tavrine/platform/command_runner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include "support/scoped_variable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

// Readable failures for whole records.
void PrintTo(const DeviceTavrine& r, std::ostream* os) {
  auto text = [](const std::optional<std::string>& s) { return s ? '"' + *s + '"' : "absent"; };
  *os << "{device_id=\"" << r.device_id << "\" os_version=\"" << r.os_version
      << "\" hostname=" << text(r.hostname) << " model=" << text(r.model)
      << " serial_number=" << text(r.serial_number)
      << " disk_encryption=" << checkStatusName(r.disk_encryption)
      << " firewall=" << checkStatusName(r.firewall)
      << " secure_boot=" << checkStatusName(r.secure_boot)
      << " screen_lock=" << checkStatusName(r.screen_lock) << " screen_lock_timeout="
      << (r.screen_lock_timeout ? std::to_string(*r.screen_lock_timeout) : "absent")
      << " screen_lock_password=" << checkStatusName(r.screen_lock_password)
      << " sip=" << checkStatusName(r.sip) << " gatekeeper=" << checkStatusName(r.gatekeeper)
      << " xprotect_version=" << text(r.xprotect_version)
      << " os_up_to_date=" << checkStatusName(r.os_up_to_date)
      << " pending_updates_count=" << r.pending_updates_count
      << " mdm_enrolled=" << checkStatusName(r.mdm_enrolled)
      << " vpn_connected=" << checkStatusName(r.vpn_connected)
      << " auto_login_disabled=" << checkStatusName(r.auto_login_disabled)
      << " remote_login=" << checkStatusName(r.remote_login) << " timestamp=" << r.timestamp << "}";
}

namespace {

using test_support::ScopedVariable;

using namespace std::chrono_literals;
namespace checks = tavrine::checks;
constexpr auto E = CheckStatus::enabled;
constexpr auto D = CheckStatus::disabled;
constexpr auto U = CheckStatus::unknown;
constexpr auto NA = CheckStatus::not_applicable;

// ---------------------------------------------------------------------------
// Reading the tools' output (captured from the real tools).

using StatusCheck = CheckStatus (*)(std::optional<std::string_view>) noexcept;

struct StatusCase {
  const char* check;
  StatusCheck read;
  std::optional<std::string_view> output;
  CheckStatus expected;
};

constexpr std::string_view kCustomSip =
    "System Integrity Protection status: unknown (Custom Configuration).\n\n"
    "Configuration:\n\tApple Internal: disabled\n\tKext Signing: enabled\n"
    "\tFilesystem Protections: disabled\n\tDebugging Restrictions: enabled\n\n"
    "This is an unsupported configuration, likely to break in the future and leave your "
    "machine in an unknown state.";
constexpr std::string_view kVpnList =
    "Available network connection services in the current set (*=enabled):\n"
    "* (Connected)      8A1C3F5E-2B7D-4E91-A6F0-3D5C7B9E1A24 VPN (com.example.vpn.client) "
    "\"Office\"                       [VPN:com.example.vpn.client]";
constexpr std::string_view kVpnListDown =
    "Available network connection services in the current set (*=enabled):\n"
    "* (Disconnected)   8A1C3F5E-2B7D-4E91-A6F0-3D5C7B9E1A24 VPN (com.example.vpn.client) "
    "\"Office\"                       [VPN:com.example.vpn.client]";

TEST(CheckReading, PhrasesDecideEachStatus) {
  const std::vector<StatusCase> cases = {
      {"FileVault on", checks::diskEncryption, "FileVault is On.", E},
      {"FileVault off", checks::diskEncryption, "FileVault is Off.", D},
      {"FileVault busy", checks::diskEncryption, "Encryption in progress: Percent completed = 42",
       U},
      {"FileVault failed", checks::diskEncryption, std::nullopt, U},
      {"firewall on", checks::firewall, "Firewall is enabled. (State = 1)", E},
      {"firewall off", checks::firewall, "Firewall is disabled. (State = 0)", D},
      {"firewall block-all", checks::firewall,
       "Firewall is blocking all non-essential incoming connections. (State = 2)", E},
      {"firewall other", checks::firewall, "Firewall state = 7", U},
      {"firewall failed", checks::firewall, std::nullopt, U},
      {"password asked", checks::screenLockPassword, "1", E},
      {"password not asked", checks::screenLockPassword, "0", D},
      {"password other digit", checks::screenLockPassword, "2", U},
      {"password word", checks::screenLockPassword, "true", U},
      {"password digits", checks::screenLockPassword, "10", U},
      {"password unset", checks::screenLockPassword, std::nullopt, U},
      {"SIP on", checks::systemIntegrityProtection, "System Integrity Protection status: enabled.",
       E},
      {"SIP off", checks::systemIntegrityProtection,
       "System Integrity Protection status: disabled.", D},
      {"SIP custom", checks::systemIntegrityProtection, kCustomSip, D},
      {"SIP verdict on the first line only", checks::systemIntegrityProtection,
       "System Integrity Protection status: unknown.\n\tKext Signing: enabled", U},
      {"SIP failed", checks::systemIntegrityProtection, std::nullopt, U},
      {"Gatekeeper on", checks::gatekeeper, "assessments enabled", E},
      {"Gatekeeper off", checks::gatekeeper, "assessments disabled", D},
      {"Gatekeeper other", checks::gatekeeper, "spctl: unknown state", U},
      {"Gatekeeper silent", checks::gatekeeper, std::nullopt, U},
      {"MDM approved", checks::mdmEnrollment,
       "Enrolled via DEP: No\nMDM enrollment: Yes (User Approved)", E},
      {"MDM through DEP", checks::mdmEnrollment, "Enrolled via DEP: Yes\nMDM enrollment: No", E},
      {"MDM none", checks::mdmEnrollment, "Enrolled via DEP: No\nMDM enrollment: No", D},
      {"MDM other", checks::mdmEnrollment, "profiles: this command requires root", U},
      {"MDM failed", checks::mdmEnrollment, std::nullopt, U},
      {"VPN up", checks::vpn, kVpnList, E},
      {"VPN down", checks::vpn, kVpnListDown, D},
      {"no VPN service", checks::vpn,
       "Available network connection services in the current set (*=enabled):", NA},
      {"VPN failed", checks::vpn, std::nullopt, U},
      {"auto login user set", checks::autoLoginDisabled, "alice", D},
      {"auto login unset", checks::autoLoginDisabled, std::nullopt, E},
      {"sshd listed", checks::remoteLogin,
       "PID\tStatus\tLabel\n-\t0\tcom.openssh.sshd\n412\t0\tcom.apple.Finder", E},
      {"sshd not listed", checks::remoteLogin, "PID\tStatus\tLabel\n412\t0\tcom.apple.Finder", D},
      {"no job list", checks::remoteLogin, std::nullopt, U},
  };
  for (const StatusCase& c : cases) {
    EXPECT_EQ(checkStatusName(c.read(c.output)), checkStatusName(c.expected)) << c.check;
  }
  EXPECT_EQ(checks::remoteLoginFromSystemJob(true), E);
  EXPECT_EQ(checks::remoteLoginFromSystemJob(false), D);
}

// What a tool printed on a real Mac (tests/data/macos, INDEX.md there says
// where each came from), as the runner hands it over: trimmed at both ends.
std::string macOutput(const std::string& name) {
  const std::string text =
      test_support::readFile(std::string(TAVRINE_MACOS_OUTPUTS_DIR) + "/" + name);
  return std::string(platform::macos::trimWhitespace(text));
}

// The same text with one phrase put in place of another: the other values a
// line takes in the same layout.
std::string withReplaced(std::string text, std::string_view from, std::string_view to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

TEST(CheckReading, RealOutputsOfCurrentMacs) {
  using Reader = std::function<std::string(std::optional<std::string_view>)>;
  const Reader policy = [](auto output) -> std::string {
    const auto verdict = checks::secureBootPolicy(output);
    return verdict ? std::string(checkStatusName(*verdict)) : "ask the profiler";
  };
  const Reader mode = [](auto output) {
    return std::string(checkStatusName(checks::secureBootMode(output)));
  };
  const Reader delay = [](auto output) {
    return std::string(checkStatusName(checks::screenLockDelay(output)));
  };
  const Reader sip = [](auto output) {
    return std::string(checkStatusName(checks::systemIntegrityProtection(output)));
  };
  const auto updatesOn = [](std::string version) -> Reader {
    return [version](auto output) {
      const auto updates = checks::softwareUpdates(output, version);
      return std::string(checkStatusName(updates.os_up_to_date)) + " " +
             std::to_string(updates.pending_updates_count);
    };
  };
  const std::string profiler = macOutput("system_profiler-ibridge-apple-silicon-full.txt");
  struct Case {
    std::string name;
    Reader read;
    std::optional<std::string> output;  // nothing: the tool failed
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"T2 full security", policy, macOutput("nvram-t2-full.txt"), "enabled"},
      {"T2 medium security", policy, macOutput("nvram-t2-medium.txt"), "disabled"},
      {"T2 no security", policy, macOutput("nvram-t2-none.txt"), "disabled"},
      {"policy not known here", policy, withReplaced(macOutput("nvram-t2-full.txt"), "%02", "%03"),
       "ask the profiler"},
      {"no policy variable (exit 1)", policy, std::nullopt, "ask the profiler"},
      {"Apple silicon full", mode, profiler, "enabled"},
      {"Apple silicon reduced", mode,
       macOutput("system_profiler-ibridge-apple-silicon-reduced.txt"), "disabled"},
      {"Apple silicon permissive", mode,
       macOutput("system_profiler-ibridge-apple-silicon-permissive.txt"), "disabled"},
      {"T2 medium", mode, macOutput("system_profiler-ibridge-medium-security.txt"), "disabled"},
      {"T2 none", mode, macOutput("system_profiler-ibridge-no-security.txt"), "disabled"},
      {"mode not known here", mode, withReplaced(profiler, "Full Security", "Sicherheit"),
       "unknown"},
      {"T2 on 10.13, no boot policy", mode, macOutput("system_profiler-ibridge-t2-1013.txt"),
       "not_applicable"},
      {"Intel without T2", mode, macOutput("system_profiler-ibridge-intel-no-t2.txt"),
       "not_applicable"},
      {"profiler failed", mode, std::nullopt, "unknown"},
      {"lock immediate", delay, macOutput("sysadminctl-screenlock-immediate.txt"), "enabled"},
      {"lock 5 s", delay, macOutput("sysadminctl-screenlock-5s.txt"), "enabled"},
      {"lock 300 s", delay, macOutput("sysadminctl-screenlock-300s.txt"), "enabled"},
      {"lock 300.000000 s", delay, macOutput("sysadminctl-screenlock-300s-fractional.txt"),
       "enabled"},
      {"lock 8 h", delay, macOutput("sysadminctl-screenlock-28800s.txt"), "enabled"},
      {"lock off", delay, macOutput("sysadminctl-screenlock-off.txt"), "disabled"},
      {"lock -1.000000 s", delay, macOutput("sysadminctl-screenlock-minus1s-fractional.txt"),
       "disabled"},
      {"lock answer unknown", delay, "sysadminctl[1:2] screenLock delay is soon seconds",
       "unknown"},
      {"sysadminctl failed", delay, std::nullopt, "unknown"},
      {"SIP on", sip, macOutput("csrutil-enabled.txt"), "enabled"},
      {"SIP off", sip, macOutput("csrutil-disabled.txt"), "disabled"},
      {"SIP off, Apple internal", sip, macOutput("csrutil-disabled-apple-internal.txt"),
       "disabled"},
      {"SIP custom, Sonoma", sip, macOutput("csrutil-custom-sonoma.txt"), "disabled"},
      {"SIP custom, Monterey", sip, macOutput("csrutil-custom-monterey.txt"), "disabled"},
      {"SIP custom, all off", sip, macOutput("csrutil-custom-all-off-1015.txt"), "disabled"},
      {"SIP custom says enabled", sip, macOutput("csrutil-custom-enabled-1011-beta.txt"),
       "disabled"},
      {"nothing to install", updatesOn("14.7"),
       macOutput("softwareupdate-none.txt") + "\n" + macOutput("softwareupdate-none-stderr.txt"),
       "enabled 0"},
      {"Safari, a patch and the next major", updatesOn("13.5.2"),
       macOutput("softwareupdate-ventura-patch-and-major.txt"), "disabled 2"},
      {"patched, offered the next major", updatesOn("13.6"),
       macOutput("softwareupdate-ventura-major-only.txt"), "enabled 0"},
      {"held on 13.7, a patch and 15", updatesOn("13.7.2"),
       macOutput("softwareupdate-ventura-137-patch-and-major.txt"), "disabled 2"},
      {"14.7 offered 15.2 and developer tools", updatesOn("14.7"),
       macOutput("softwareupdate-sonoma-147-major-and-clt.txt"), "enabled 0"},
      {"developer tools alone", updatesOn("13.0"), macOutput("softwareupdate-clt.txt"),
       "enabled 0"},
      {"Safari after a log line", updatesOn("13.6"), macOutput("softwareupdate-log-line.txt"),
       "disabled 1"},
      {"security response", updatesOn("13.2"), macOutput("softwareupdate-rsr-132a.txt"),
       "disabled 1"},
      {"running version unknown", updatesOn("unknown"),
       macOutput("softwareupdate-ventura-major-only.txt"), "disabled 1"},
      {"10.15 offered 11", updatesOn("10.15.7"),
       withReplaced(macOutput("softwareupdate-ventura-major-only.txt"),
                    "macOS Sonoma 14.0, Version: 14.0", "macOS Big Sur 11.2, Version: 11.2"),
       "enabled 0"},
      {"10.14 offered 10.15", updatesOn("10.14.6"),
       withReplaced(macOutput("softwareupdate-ventura-major-only.txt"),
                    "macOS Sonoma 14.0, Version: 14.0", "macOS Catalina 10.15, Version: 10.15"),
       "enabled 0"},
      {"offline", updatesOn("14.7"),
       macOutput("softwareupdate-offline.txt") + "\n" +
           macOutput("softwareupdate-offline-stderr.txt"),
       "unknown 0"},
      {"offline, plain apostrophe", updatesOn("14.7"),
       macOutput("softwareupdate-offline.txt") + "\n" +
           macOutput("softwareupdate-offline-stderr-ascii.txt"),
       "unknown 0"},
      {"could not run", updatesOn("14.7"), std::nullopt, "unknown 0"},
  };
  for (const Case& c : cases) {
    const auto output =
        c.output ? std::optional<std::string_view>(*c.output) : std::optional<std::string_view>();
    EXPECT_EQ(c.read(output), c.expected) << c.name;
  }
}

TEST(CheckReading, ScreenSaverIdleTime) {
  struct Case {
    std::optional<std::string_view> output;
    checks::ScreenLock expected;
  };
  const std::vector<Case> cases = {
      {"0", {D, 0}},
      {"600", {E, 600}},
      {"4294967295", {E, 4294967295u}},
      {"4294967296", {U, std::nullopt}},
      {"-1", {U, std::nullopt}},
      {"+5", {U, std::nullopt}},
      {"ten", {U, std::nullopt}},
      {"600.5", {U, std::nullopt}},
      {"6 00", {U, std::nullopt}},
      {std::nullopt, {U, std::nullopt}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(checks::screenSaverIdleTime(c.output), c.expected) << c.output.value_or("(none)");
  }
}

TEST(CheckReading, PendingSoftwareUpdates) {
  const std::string_view two =
      "Software Update Tool\n\nFinding available software\n"
      "Software Update found the following new or updated software:\n"
      "   * Label: macOS Sonoma 14.5-23F79\n"
      "\tTitle: macOS Sonoma 14.5, Version: 14.5, Size: 6900516KiB, Recommended: YES, "
      "Action: restart, \n"
      "\t* Label: Safari17.5MontereyAuto-17.5\n"
      "\tTitle: Safari, Version: 17.5, Size: 153000KiB, Recommended: YES, \n"
      "Label: not a pending update";
  EXPECT_EQ(checks::softwareUpdates(two, "14.4"), (checks::PendingUpdates{2, D}));
  EXPECT_EQ(checks::softwareUpdates("* Label:", "14.4"), (checks::PendingUpdates{1, D}));
  EXPECT_EQ(checks::softwareUpdates("*Label: x\n* label: y", "14.4"),
            (checks::PendingUpdates{0, U}));
  EXPECT_EQ(checks::softwareUpdates(std::nullopt, "14.4"), (checks::PendingUpdates{0, U}));
}

TEST(CheckReading, QuotedRegistryValues) {
  const std::string_view expert =
      "+-o J316sAP  <class IOPlatformExpertDevice, id 0x100000215, registered, matched, "
      "active, busy 0 (186 ms), retain 37>\n    {\n"
      "      \"IOPlatformSerialNumber\" = \"C02XL0GTJGH6\"\n"
      "      \"IOPlatformUUID\" = \"3F2504E0-4F89-11D3-9A0C-0305E82C3301\"\n    }";
  EXPECT_EQ(checks::deviceId(expert), "3F2504E0-4F89-11D3-9A0C-0305E82C3301");
  EXPECT_EQ(checks::serialNumber(expert), "C02XL0GTJGH6");
  EXPECT_EQ(checks::deviceId("\"IOPlatformUUID\" = \"3F2504E0-4F89"), "unknown-device-id");
  EXPECT_EQ(checks::deviceId("\"IOPlatformUUID\"=\"3F2504E0\""), "unknown-device-id");
  EXPECT_EQ(checks::deviceId("\"IOPlatformUUID\" = \"\""), "");
  EXPECT_EQ(checks::deviceId(""), "unknown-device-id");
  EXPECT_EQ(checks::deviceId(std::nullopt), "unknown-device-id");
  EXPECT_EQ(checks::serialNumber("\"IOPlatformSerialNumber\" = \"\""), "");
  EXPECT_EQ(checks::serialNumber("\"IOPlatformSerialNumber\" = \"C02X"), std::nullopt);
  EXPECT_EQ(checks::serialNumber("\"IOPlatformUUID\" = \"x\""), std::nullopt);
  EXPECT_EQ(checks::serialNumber(std::nullopt), std::nullopt);
}

// ---------------------------------------------------------------------------
// Whole collections through real child processes.

// The stand-in tools of tests/fixtures, first on PATH, answering from a
// fresh directory (see tests/fixtures/lib/stand_in.sh).
class StandIns {
 public:
  StandIns()
      : path_("PATH", std::string(TAVRINE_FIXTURES_DIR) + ":" + std::getenv("PATH")),
        answers_("TAVRINE_STANDIN_DIR", dir_.path()) {}

  void answer(const std::string& key, const std::string& out, int status = 0,
              const std::string& err = "") {
    test_support::writeFile(dir_.file(key + ".out"), out);
    test_support::writeFile(dir_.file(key + ".status"), std::to_string(status) + "\n");
    if (!err.empty()) test_support::writeFile(dir_.file(key + ".err"), err);
  }
  void delay(const std::string& key, int seconds) {
    test_support::writeFile(dir_.file(key + ".sleep"), std::to_string(seconds) + "\n");
  }
  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    std::ifstream in(dir_.file("calls.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // The production table, but with the firewall tool's stand-in.
  static tavrine::Tools tools() {
    tavrine::Tools tools;
    tools.socketfilterfw = std::string(TAVRINE_FIXTURES_DIR) + "/socketfilterfw";
    return tools;
  }

 private:
  test_support::TempDir dir_;
  ScopedVariable path_;
  ScopedVariable answers_;
};

constexpr const char* kXProtectLibrary =
    "defaults read /Library/Apple/System/Library/CoreServices/XProtect.bundle/Contents/Info.plist "
    "CFBundleShortVersionString";
constexpr const char* kXProtectSystem =
    "defaults read /System/Library/CoreServices/XProtect.bundle/Contents/Info.plist "
    "CFBundleShortVersionString";

// The commands of a collection in their order; `follow_ups` when neither
// the secure boot variable nor the password key could tell.
std::vector<std::string> commandsInOrder(bool second_xprotect, bool system_sshd,
                                         bool registry_listing, bool follow_ups = false) {
  std::vector<std::string> calls = {
      "defaults -currentHost read com.apple.screensaver idleTime",
      "softwareupdate -l",
      "ioreg -rd1 -c IOPlatformExpertDevice",
      "sw_vers -productVersion",
      "fdesetup status",
      "socketfilterfw --getglobalstate",
      "nvram 94b73556-2197-4702-82a8-3e1337dafbfb:AppleSecureBootPolicy",
      "defaults read com.apple.screensaver askForPassword",
      "csrutil status",
      "spctl --status",
      kXProtectLibrary,
  };
  if (follow_ups) {
    const auto nvram =
        std::find(calls.begin(), calls.end(),
                  "nvram 94b73556-2197-4702-82a8-3e1337dafbfb:AppleSecureBootPolicy");
    calls.insert(nvram + 1, "system_profiler SPiBridgeDataType");
    const auto password =
        std::find(calls.begin(), calls.end(), "defaults read com.apple.screensaver askForPassword");
    calls.insert(password + 1, "sysadminctl -screenLock status");
  }
  if (second_xprotect) calls.push_back(kXProtectSystem);
  calls.insert(
      calls.end(),
      {"profiles status -type enrollment", "scutil --nc list",
       "defaults read /Library/Preferences/com.apple.loginwindow autoLoginUser", "launchctl list"});
  if (system_sshd) calls.push_back("launchctl print system/com.openssh.sshd");
  calls.insert(calls.end(), {"hostname", "sysctl -n hw.model"});
  if (registry_listing) calls.push_back("ioreg -l");
  return calls;
}

int64_t now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST(Collection, EveryToolMissing) {
  test_support::TempDir empty;
  const ScopedVariable path("PATH", empty.path());
  tavrine::Tools tools;
  tools.socketfilterfw = empty.file("socketfilterfw");

  const int64_t before = now();
  testing::internal::CaptureStderr();
  auto record = tavrine::collect(tools);
  const std::string console = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(record.has_value());

  DeviceTavrine expected;  // every field at its fallback
  expected.timestamp = record->timestamp;
  EXPECT_EQ(*record, expected);
  EXPECT_EQ(record->device_id, "unknown-device-id");
  EXPECT_EQ(record->os_version, "unknown");
  EXPECT_EQ(record->os_up_to_date, U);
  EXPECT_EQ(record->auto_login_disabled, E);
  EXPECT_EQ(record->remote_login, U);
  EXPECT_EQ(console, "warning: Failed to get macOS version: error.FileNotFound\n");
  EXPECT_GE(record->timestamp, before);
  EXPECT_LE(record->timestamp, now());
}

TEST(Collection, ThroughStandInsWithEverythingInForce) {
  StandIns tools;
  tools.answer("defaults-idle-time", "600\n");
  tools.answer("softwareupdate-list",
               "Software Update Tool\n\nFinding available software\n"
               "Software Update found the following new or updated software:\n"
               "* Label: macOS Sonoma 14.5-23F79\n"
               "\tTitle: macOS Sonoma 14.5, Version: 14.5, Size: 6900516KiB, Recommended: YES, "
               "Action: restart, \n"
               "* Label: Safari17.5MontereyAuto-17.5\n"
               "\tTitle: Safari, Version: 17.5, Size: 153000KiB, Recommended: YES, \n");
  tools.answer("ioreg-platform-expert",
               "+-o J316sAP  <class IOPlatformExpertDevice, id 0x100000215, registered>\n"
               "    {\n      \"IOPlatformSerialNumber\" = \"C02XL0GTJGH6\"\n"
               "      \"IOPlatformUUID\" = \"3F2504E0-4F89-11D3-9A0C-0305E82C3301\"\n    }\n");
  tools.answer("sw_vers-product-version", "14.5\n");
  tools.answer("fdesetup-status", "FileVault is On.\n");
  tools.answer("socketfilterfw-global-state", "Firewall is enabled. (State = 1)\n");
  tools.answer("nvram-secure-boot-policy",
               "94b73556-2197-4702-82a8-3e1337dafbfb:AppleSecureBootPolicy\t%02\n");
  tools.answer("defaults-ask-for-password", "1\n");
  tools.answer("csrutil-status", "System Integrity Protection status: enabled.\n");
  tools.answer("spctl-status", "assessments enabled\n");
  tools.answer("defaults-xprotect-library", "5272\n");
  tools.answer("profiles-enrollment",
               "Enrolled via DEP: No\nMDM enrollment: Yes (User Approved)\n");
  tools.answer("scutil-nc-list", std::string(kVpnList) + "\n");
  tools.answer("defaults-auto-login-user", "", 1,
               "The domain/default pair of (/Library/Preferences/com.apple.loginwindow, "
               "autoLoginUser) does not exist\n");
  // The user's own jobs only; the system domain has the daemon.
  tools.answer("launchctl-list", "PID\tStatus\tLabel\n-\t0\tcom.apple.SafariHistoryServiceAgent\n");
  tools.answer("launchctl-print-sshd",
               "system/com.openssh.sshd = {\n\tactive count = 0\n\tpath = "
               "/System/Library/LaunchDaemons/ssh.plist\n}\n");
  tools.answer("hostname", "studio.local\n");
  tools.answer("sysctl-hw-model", "Mac14,13\n");

  const int64_t before = now();
  testing::internal::CaptureStderr();
  auto record = tavrine::collect(StandIns::tools());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_TRUE(record.has_value());

  DeviceTavrine expected;
  expected.device_id = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
  expected.os_version = "14.5";
  expected.hostname = "studio.local";
  expected.model = "Mac14,13";
  expected.serial_number = "C02XL0GTJGH6";
  expected.disk_encryption = E;
  expected.firewall = E;
  expected.secure_boot = E;
  expected.screen_lock = E;
  expected.screen_lock_timeout = 600;
  expected.screen_lock_password = E;
  expected.sip = E;
  expected.gatekeeper = E;
  expected.xprotect_version = "5272";
  expected.os_up_to_date = D;
  expected.pending_updates_count = 2;
  expected.mdm_enrolled = E;
  expected.vpn_connected = E;
  expected.auto_login_disabled = E;
  expected.remote_login = E;
  expected.timestamp = record->timestamp;
  EXPECT_EQ(*record, expected);
  EXPECT_EQ(record->platform, "darwin");
  EXPECT_EQ(record->os_name, "macOS");
  EXPECT_GE(record->timestamp, before);
  EXPECT_LE(record->timestamp, now());
  EXPECT_EQ(tools.calls(), commandsInOrder(false, true, false));
}

TEST(Collection, ThroughStandInsWithControlsOffOrUnreadable) {
  StandIns tools;
  tools.answer("defaults-idle-time", "0\n");
  tools.answer("softwareupdate-list", "Software Update Tool\n\nFinding available software\n", 0,
               "No new software available.\n");
  tools.answer("ioreg-platform-expert", "+-o J316sAP\n    {\n      \"IOPlatformUUID\" = \"3F25\n");
  tools.answer("sw_vers-product-version", "14.5\n", 1);
  tools.answer("fdesetup-status", "FileVault is Off.\n");
  tools.answer("socketfilterfw-global-state",
               "Firewall is blocking all non-essential incoming connections. (State = 2)\n");
  tools.answer("nvram-secure-boot-policy",
               "94b73556-2197-4702-82a8-3e1337dafbfb:AppleSecureBootPolicy\t%01\n");
  tools.answer("defaults-ask-for-password", "0\n");
  tools.answer("csrutil-status", std::string(kCustomSip) + "\n");
  // Gatekeeper off is reported with exit status 1.
  tools.answer("spctl-status", "assessments disabled\n", 1);
  tools.answer("defaults-xprotect-library", "", 1, "does not exist\n");
  tools.answer("defaults-xprotect-system", "2195\n");
  tools.answer("profiles-enrollment", "Enrolled via DEP: No\nMDM enrollment: No\n", 1);
  tools.answer("scutil-nc-list",
               "Available network connection services in the current set (*=enabled):\n");
  tools.answer("defaults-auto-login-user", "alice\n");
  tools.answer("launchctl-list", "PID\tStatus\tLabel\n-\t0\tcom.openssh.sshd\n");
  tools.answer("hostname", "  \n");
  tools.answer("sysctl-hw-model", "", 255, "sysctl: unknown oid 'hw.model'\n");
  tools.answer("ioreg-listing", "+-o Root  <class IORegistryEntry>\n");

  testing::internal::CaptureStderr();
  auto record = tavrine::collect(StandIns::tools());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "warning: Failed to get macOS version: error.CommandFailed\n");
  ASSERT_TRUE(record.has_value());

  DeviceTavrine expected;
  expected.disk_encryption = D;
  expected.firewall = E;
  expected.secure_boot = D;
  expected.screen_lock = D;
  expected.screen_lock_timeout = 0;
  expected.screen_lock_password = D;
  expected.sip = D;
  expected.gatekeeper = D;
  expected.xprotect_version = "2195";
  expected.os_up_to_date = E;
  expected.pending_updates_count = 0;
  expected.mdm_enrolled = U;
  expected.vpn_connected = NA;
  expected.auto_login_disabled = D;
  expected.remote_login = E;
  expected.timestamp = record->timestamp;
  EXPECT_EQ(*record, expected);
  EXPECT_EQ(tools.calls(), commandsInOrder(true, false, true));
}

TEST(Collection, RemoteLoginAsksTheSystemDomainOnlyWhenTheListLacksTheDaemon) {
  struct Case {
    const char* name;
    std::optional<std::string> list;  // nothing: launchctl list prints nothing and fails
    int print_status;
    CheckStatus expected;
    bool asks_system;
  };
  const std::vector<Case> cases = {
      {"listed", "-\t0\tcom.openssh.sshd\n", 1, E, false},
      {"loaded in the system domain", "-\t0\tcom.apple.Finder\n", 0, E, true},
      {"not loaded anywhere", "-\t0\tcom.apple.Finder\n", 113, D, true},
      {"no list", std::nullopt, 0, U, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandIns tools;
    tools.answer("sw_vers-product-version", "14.5\n");
    tools.answer("launchctl-list", c.list.value_or(""), c.list ? 0 : 5);
    tools.answer("launchctl-print-sshd",
                 c.print_status == 0 ? "system/com.openssh.sshd = {\n}\n" : "", c.print_status);
    auto record = tavrine::collect(StandIns::tools());
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(checkStatusName(record->remote_login), checkStatusName(c.expected));
    const auto calls = tools.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "launchctl print system/com.openssh.sshd"),
              c.asks_system ? 1 : 0);
  }
}

// A registry listing as long as a current Mac's (3 MiB, past the runner's
// 1 MiB cap), with the serial number near its start.
std::string megabytesOfRegistry(const std::string& serial) {
  std::string listing =
      "+-o Root  <class IORegistryEntry>\n  +-o J316sAP  <class IOPlatformExpertDevice>\n"
      "    {\n      \"IOPlatformSerialNumber\" = \"" +
      serial + "\"\n    }\n";
  const std::string entry =
      "    | |   \"IOPowerManagement\" = {\"DevicePowerState\"=2,\"CurrentPowerState\"=2}\n";
  while (listing.size() < 3 * 1024 * 1024) listing += entry;
  return listing;
}

TEST(Collection, SerialNumberComesFromThePlatformNodeAndTheListingOnlyWhenItLacksOne) {
  const std::string node_with_serial =
      "+-o J316sAP  <class IOPlatformExpertDevice>\n    {\n"
      "      \"IOPlatformSerialNumber\" = \"C02XL0GTJGH6\"\n"
      "      \"IOPlatformUUID\" = \"3F2504E0-4F89-11D3-9A0C-0305E82C3301\"\n    }\n";
  const std::string node_without_serial =
      "+-o J316sAP  <class IOPlatformExpertDevice>\n    {\n"
      "      \"IOPlatformUUID\" = \"3F2504E0-4F89-11D3-9A0C-0305E82C3301\"\n    }\n";
  struct Case {
    const char* name;
    std::string node;
    std::string listing;
    std::optional<std::string> expected;
    bool lists_the_registry;
  };
  const std::vector<Case> cases = {
      {"in the node, a huge listing", node_with_serial, megabytesOfRegistry("FFFFFFFFFFFF"),
       "C02XL0GTJGH6", false},
      {"empty in the node", "\"IOPlatformSerialNumber\" = \"\"\n" + node_without_serial,
       megabytesOfRegistry("FFFFFFFFFFFF"), "", false},
      {"only in a small listing", node_without_serial,
       "+-o Root\n      \"IOPlatformSerialNumber\" = \"H2WDN0XXQ6L4\"\n", "H2WDN0XXQ6L4", true},
      {"only in a huge listing", node_without_serial, megabytesOfRegistry("H2WDN0XXQ6L4"),
       std::nullopt, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandIns tools;
    tools.answer("sw_vers-product-version", "14.5\n");
    tools.answer("ioreg-platform-expert", c.node);
    tools.answer("ioreg-listing", c.listing);
    auto record = tavrine::collect(StandIns::tools());
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->device_id, "3F2504E0-4F89-11D3-9A0C-0305E82C3301");
    EXPECT_EQ(record->serial_number, c.expected);
    const auto calls = tools.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "ioreg -l"), c.lists_the_registry ? 1 : 0);
    EXPECT_EQ(calls.back(), c.lists_the_registry ? "ioreg -l" : "sysctl -n hw.model");
  }
}

TEST(Collection, AHungUpdateListingEndsAtItsTimeLimit) {
  StandIns tools;
  tools.answer("sw_vers-product-version", "14.5\n");
  tools.answer("softwareupdate-list", "* Label: never seen\n");
  tools.delay("softwareupdate-list", 30);
  tools.answer("hostname", "studio.local\n");
  auto table = StandIns::tools();
  table.update_time_limit = 300ms;

  const auto start = std::chrono::steady_clock::now();
  auto record = tavrine::collect(table);
  ASSERT_TRUE(record.has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(record->os_up_to_date, U);
  EXPECT_EQ(record->pending_updates_count, 0u);
  EXPECT_EQ(record->hostname, "studio.local");  // the later checks still ran
  EXPECT_EQ(tools.calls(), commandsInOrder(true, false, true, true));
  EXPECT_EQ(test_support::childProcessCount(), 0);
}

TEST(Collection, SpentTimeLimitLeavesTheRemainingChecksUnknown) {
  StandIns tools;
  tools.delay("every", 30);
  auto table = StandIns::tools();
  table.collection_time_limit = 500ms;

  testing::internal::CaptureStderr();
  auto record = tavrine::collect(table);
  const std::string console = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(record.has_value());
  DeviceTavrine expected;  // every field at its fallback, as with failed tools
  expected.timestamp = record->timestamp;
  EXPECT_EQ(*record, expected);
  // The first tool was cut off at the collection's limit; none came after it.
  EXPECT_EQ(tools.calls(), std::vector<std::string>{"defaults -currentHost read "
                                                    "com.apple.screensaver idleTime"});
  EXPECT_EQ(console, "warning: Failed to get macOS version: error.Timeout\n");
  EXPECT_EQ(test_support::childProcessCount(), 0);
}

TEST(Collection, AMisbehavingToolReadsAsFailedAndLeavesNothingBehind) {
  // The disk encryption tool misbehaves in each way in turn; it would say
  // "On" if its output were taken. The checks after it still run.
  struct Case {
    const char* name;
    std::optional<std::string> script;  // nothing: no such file
    mode_t mode;
    CheckStatus expected;
  };
  const std::vector<Case> cases = {
      {"answers", "echo 'FileVault is On.'", 0755, E},
      {"hangs", "echo 'FileVault is On.'; exec sleep 30", 0755, U},
      {"floods 10 MiB", "echo 'FileVault is On.'; head -c 10485760 /dev/zero", 0755, U},
      {"dies of a signal", "echo 'FileVault is On.'; kill -KILL $$", 0755, U},
      {"stops itself", "echo 'FileVault is On.'; kill -STOP $$", 0755, U},
      {"is not executable", "echo 'FileVault is On.'", 0644, U},
      {"is missing", std::nullopt, 0755, U},
      {"leaves a helper holding the pipe",
       "sleep 30 & echo $! > helper.pid; echo 'FileVault is On.'", 0755, U},
  };
  StandIns tools;
  tools.answer("hostname", "studio.local\n");
  test_support::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string tool = dir.file(std::string("fdesetup-") + std::to_string(&c - &cases[0]));
    if (c.script) {
      test_support::writeFile(tool,
                              "#!/bin/sh\ncd '" + dir.path() + "' || exit 1\n" + *c.script + "\n");
      ASSERT_EQ(::chmod(tool.c_str(), c.mode), 0);
    }
    auto table = StandIns::tools();
    table.fdesetup = tool;
    table.time_limit = 1s;
    const int descriptors = test_support::openDescriptorCount();
    const int children = test_support::childProcessCount();

    const auto start = std::chrono::steady_clock::now();
    auto record = tavrine::collect(table);
    ASSERT_TRUE(record.has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << "waited for the tool itself";
    EXPECT_EQ(checkStatusName(record->disk_encryption), checkStatusName(c.expected));
    EXPECT_EQ(record->hostname, "studio.local");
    EXPECT_EQ(test_support::openDescriptorCount(), descriptors);
    EXPECT_EQ(test_support::childProcessCount(), children);
  }
  const std::string helper = test_support::readFile(dir.file("helper.pid"));
  ASSERT_FALSE(helper.empty());
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (!test_support::processHasEnded(std::stoi(helper)) &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(test_support::processHasEnded(std::stoi(helper)))
      << "the helper outlived its tool's time limit";
}

// The update listing asks the catalogue over the network: one collection
// an hour reads it, the others reuse its result, unless it told nothing or
// the OS version has changed since.
TEST(Collection, UpdateListingReadAtMostHourly) {
  StandIns tools;
  tools.answer("ioreg-platform-expert", "\"IOPlatformUUID\" = \"UPDATES-0001\"\n");
  const std::string one_pending =
      "Software Update found the following new or updated software:\n"
      "* Label: macOS Sonoma 14.6-23G80\n"
      "\tTitle: macOS Sonoma 14.6, Version: 14.6, Size: 1KiB, Recommended: YES, \n";
  const std::string none_pending = "Software Update Tool\n\nNo new software available.\n";
  const std::string safari_pending =
      "Software Update found the following new or updated software:\n"
      "* Label: Safari17.6SonomaAuto-17.6\n"
      "\tTitle: Safari, Version: 17.6, Size: 1KiB, Recommended: YES, \n";
  auto now = std::chrono::system_clock::time_point(std::chrono::hours(500000));
  tavrine::UpdateListingCache cache([&] { return now; });
  const auto listings = [&] {
    const auto calls = tools.calls();
    return std::count(calls.begin(), calls.end(), "softwareupdate -l");
  };

  struct Step {
    const char* what;
    std::chrono::minutes later;
    std::string listing;  // empty: the tool cannot reach the catalogue
    std::string version;
    long listings_so_far;
    uint32_t pending;
    CheckStatus up_to_date;
  };
  const std::vector<Step> steps = {
      {"first collection, catalogue unreachable", 0min, "", "14.5", 1, 0, U},
      {"a failed listing is read again at once", 1min, one_pending, "14.5", 2, 1, D},
      {"reused within the hour", 59min, none_pending, "14.5", 2, 1, D},
      {"read again once the OS version changed", 0min, none_pending, "14.6", 3, 0, E},
      {"reused, read against the new version", 30min, safari_pending, "14.6", 3, 0, E},
      {"read again after an hour", 30min, safari_pending, "14.6", 4, 1, D},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    now += step.later;
    tools.answer("softwareupdate-list", step.listing, step.listing.empty() ? 1 : 0,
                 step.listing.empty() ? "Cannot connect to the software update server\n" : "");
    tools.answer("sw_vers-product-version", step.version + "\n");
    const auto record = tavrine::collect(StandIns::tools(), cache);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(listings(), step.listings_so_far);
    EXPECT_EQ(record->pending_updates_count, step.pending);
    EXPECT_EQ(record->os_up_to_date, step.up_to_date);
    EXPECT_EQ(record->os_version, step.version);
  }
  // Without a cache every collection reads it.
  ASSERT_TRUE(tavrine::collect(StandIns::tools()).has_value());
  EXPECT_EQ(listings(), 5);
}

TEST(Collection, OnThisMachineWithTheRealTools) {
  // No stand-ins: the production table on whatever this machine has. Off
  // macOS most tools are missing and their checks take their fallbacks.
  testing::internal::CaptureStderr();
  auto record = tavrine::collect();
  const std::string console = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(record.has_value());

  if (platform::macos::findProgram("hostname")) {
    char name[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(::gethostname(name, sizeof name), 0);
    EXPECT_EQ(record->hostname, std::string(name));
  } else {
    EXPECT_EQ(record->hostname, std::nullopt);
  }
  if (!platform::macos::findProgram("sw_vers")) {
    EXPECT_EQ(record->os_version, "unknown");
    EXPECT_EQ(console, "warning: Failed to get macOS version: error.FileNotFound\n");
  }
  if (!platform::macos::findProgram("ioreg")) {
    EXPECT_EQ(record->device_id, "unknown-device-id");
    EXPECT_EQ(record->serial_number, std::nullopt);
  }
  if (!platform::macos::findProgram("launchctl")) {
    EXPECT_EQ(record->remote_login, U);
  }
  if (!platform::macos::findProgram("softwareupdate")) {
    EXPECT_EQ(record->os_up_to_date, U);
  }
}

}  // namespace
