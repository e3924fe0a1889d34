// A full collection through the stand-in tools against the sum of those
// tools' own run times (each started bare with posix_spawn + waitpid, output
// to the null device), measured alternately in the same loop, for a T2 Mac
// (the secure boot policy in nvram, the password key written: nineteen
// commands) and an Apple silicon Mac (the policy from the system profiler,
// the password setting from sysadminctl: twenty-one). Run:
//   build/bench/collect_bench --benchmark_min_time=5
// The "ratio" counter is collection time over the sum of the bare runs.
#include "tavrine/collect/collector.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

const std::string kFixtures = TAVRINE_FIXTURES_DIR;

// What each stand-in prints: every control in force, so that the collection
// runs nineteen commands (the remote-login follow-up included).
const std::vector<std::pair<std::string, std::string>> kAnswers = {
    {"defaults-idle-time", "600\n"},
    {"softwareupdate-list",
     "Software Update Tool\n\nFinding available software\n* Label: macOS Sonoma 14.5-23F79\n"
     "\tTitle: macOS Sonoma 14.5, Version: 14.5, Size: 6900516KiB, Recommended: YES, \n"},
    {"ioreg-platform-expert",
     "+-o J316sAP  <class IOPlatformExpertDevice>\n    {\n"
     "      \"IOPlatformUUID\" = \"3F2504E0-4F89-11D3-9A0C-0305E82C3301\"\n    }\n"},
    {"sw_vers-product-version", "14.5\n"},
    {"fdesetup-status", "FileVault is On.\n"},
    {"socketfilterfw-global-state", "Firewall is enabled. (State = 1)\n"},
    {"nvram-secure-boot-policy",
     "94b73556-2197-4702-82a8-3e1337dafbfb:AppleSecureBootPolicy\t%02\n"},
    {"defaults-ask-for-password", "1\n"},
    {"csrutil-status", "System Integrity Protection status: enabled.\n"},
    {"spctl-status", "assessments enabled\n"},
    {"defaults-xprotect-library", "5272\n"},
    {"profiles-enrollment", "Enrolled via DEP: No\nMDM enrollment: Yes (User Approved)\n"},
    {"scutil-nc-list",
     "Available network connection services in the current set (*=enabled):\n"
     "* (Connected)      8A1C3F5E-2B7D-4E91-A6F0-3D5C7B9E1A24 VPN (com.example.vpn) \"Office\"\n"},
    {"defaults-auto-login-user", ""},
    {"launchctl-list", "PID\tStatus\tLabel\n-\t0\tcom.apple.Finder\n"},
    {"launchctl-print-sshd", "system/com.openssh.sshd = {\n}\n"},
    {"hostname", "studio.local\n"},
    {"sysctl-hw-model", "Mac14,13\n"},
    {"ioreg-listing", "+-o Root\n      \"IOPlatformSerialNumber\" = \"C02XL0GTJGH6\"\n"},
};

// What changes on an Apple silicon Mac: no policy variable, no password key.
const std::vector<std::pair<std::string, std::string>> kAppleSiliconAnswers = {
    {"nvram-secure-boot-policy.err",
     "nvram: Error getting variable - "
     "'94b73556-2197-4702-82a8-3e1337dafbfb:AppleSecureBootPolicy': (iokit/common) data was "
     "not found\n"},
    {"nvram-secure-boot-policy.status", "1\n"},
    {"system_profiler-ibridge.out",
     "Controller:\n\n      Model Identifier: Mac15,9\n      Boot Policy:\n"
     "        Secure Boot: Full Security\n"},
    {"defaults-ask-for-password.out", ""},
    {"defaults-ask-for-password.status", "1\n"},
    {"sysadminctl-screen-lock.err",
     "2026-09-23 13:27:31.636 sysadminctl[69987:3026189] screenLock delay is immediate\n"},
};

// The nineteen command lines that collection runs on a T2 Mac, in its order.
const std::vector<std::vector<std::string>> kCommands = {
    {"defaults", "-currentHost", "read", "com.apple.screensaver", "idleTime"},
    {"softwareupdate", "-l"},
    {"ioreg", "-rd1", "-c", "IOPlatformExpertDevice"},
    {"sw_vers", "-productVersion"},
    {"fdesetup", "status"},
    {"socketfilterfw", "--getglobalstate"},
    {"nvram", "94b73556-2197-4702-82a8-3e1337dafbfb:AppleSecureBootPolicy"},
    {"defaults", "read", "com.apple.screensaver", "askForPassword"},
    {"csrutil", "status"},
    {"spctl", "--status"},
    {"defaults", "read",
     "/Library/Apple/System/Library/CoreServices/XProtect.bundle/Contents/Info.plist",
     "CFBundleShortVersionString"},
    {"profiles", "status", "-type", "enrollment"},
    {"scutil", "--nc", "list"},
    {"defaults", "read", "/Library/Preferences/com.apple.loginwindow", "autoLoginUser"},
    {"launchctl", "list"},
    {"launchctl", "print", "system/com.openssh.sshd"},
    {"hostname"},
    {"sysctl", "-n", "hw.model"},
    {"ioreg", "-l"},
};

void bareRun(const std::vector<std::string>& command) {
  const std::string path = kFixtures + "/" + command.front();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (std::size_t i = 1; i < command.size(); ++i) argv.push_back(const_cast<char*>(command[i].c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) std::abort();
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) std::abort();
}

// The same on an Apple silicon Mac: each of the two follow-ups right after
// the command that could not tell.
std::vector<std::vector<std::string>> appleSiliconCommands() {
  std::vector<std::vector<std::string>> commands = kCommands;
  auto after = [&](std::string_view tool, std::vector<std::string> follow_up) {
    const auto at = std::find_if(commands.begin(), commands.end(),
                                 [&](const auto& command) { return command.front() == tool; });
    commands.insert(at + 1, std::move(follow_up));
  };
  after("nvram", {"system_profiler", "SPiBridgeDataType"});
  // The password key is the second "defaults" command of the list.
  const auto second_defaults = std::find_if(commands.begin() + 1, commands.end(),
                                            [](const auto& c) { return c.front() == "defaults"; });
  commands.insert(second_defaults + 1, {"sysadminctl", "-screenLock", "status"});
  return commands;
}

void BM_CollectionVsToolRunTimes(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const bool apple_silicon = state.range(0) == 1;
  char dir_template[] = "/tmp/tavrine-collect-bench-XXXXXX";
  const std::string dir = ::mkdtemp(dir_template);
  for (const auto& [key, out] : kAnswers) std::ofstream(dir + "/" + key + ".out") << out;
  std::ofstream(dir + "/defaults-auto-login-user.status") << "1\n";
  if (apple_silicon) {
    for (const auto& [file, text] : kAppleSiliconAnswers) std::ofstream(dir + "/" + file) << text;
  }
  const auto commands = apple_silicon ? appleSiliconCommands() : kCommands;
  ::setenv("TAVRINE_STANDIN_DIR", dir.c_str(), 1);
  const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (kFixtures + ":" + old_path).c_str(), 1);
  tavrine::Tools tools;
  tools.socketfilterfw = kFixtures + "/socketfilterfw";

  Clock::duration bare{};
  Clock::duration collection{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    for (const auto& command : commands) bareRun(command);
    const auto t1 = Clock::now();
    auto record = tavrine::collect(tools);
    const auto t2 = Clock::now();
    if (!record || record->remote_login != CheckStatus::enabled ||
        record->secure_boot != CheckStatus::enabled ||
        record->screen_lock_password != CheckStatus::enabled) {
      state.SkipWithError("the collection did not go through the stand-ins");
    }
    benchmark::DoNotOptimize(record);
    bare += t1 - t0;
    collection += t2 - t1;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["tools_ms"] = std::chrono::duration<double, std::milli>(bare).count() / n;
  state.counters["collect_ms"] = std::chrono::duration<double, std::milli>(collection).count() / n;
  state.counters["commands"] = static_cast<double>(commands.size());
  state.counters["ratio"] = std::chrono::duration<double>(collection).count() /
                            std::chrono::duration<double>(bare).count();
  ::setenv("PATH", old_path.c_str(), 1);
  ::unsetenv("TAVRINE_STANDIN_DIR");
  std::filesystem::remove_all(dir);
}
// 0: a T2 Mac; 1: an Apple silicon Mac.
BENCHMARK(BM_CollectionVsToolRunTimes)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
