// ctest-properties: RESOURCE_LOCK port8000,port3000 LABELS threaded
#include "devserver.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "tavrine/base/crypto.h"
#include "tavrine/build_config.h"
#include "tavrine/update/update_signature.h"
#include "update_site.h"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using test_support::BackgroundProcess;
using test_support::Environment;
using test_support::processesRunning;
using test_support::readFile;
using test_support::TempDir;
using test_support::writeFile;

constexpr const char* kDeviceId = "6F1A2B3C-0000-4D5E-8F90-ABCDEF012345";
constexpr const char* kRegistered = "Device registered successfully!\n";
constexpr const char* kDefaultPath = TAVRINE_FIXTURES_DIR ":/usr/bin:/bin";

std::vector<std::string> entries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Reads the agent's standard error in order: each expectation starts where
// the last one matched.
class Transcript {
 public:
  explicit Transcript(const BackgroundProcess& process) : process_(process) {}
  // Waits for `text` after the last match; false (and the text so far) after `timeout`.
  ::testing::AssertionResult next(const std::string& text,
                                  std::chrono::milliseconds timeout = 30s) {
    for (auto deadline = std::chrono::steady_clock::now() + timeout;;) {
      const std::string err = process_.errorOutput();
      if (const size_t at = err.find(text, position_); at != std::string::npos) {
        position_ = at + text.size();
        return ::testing::AssertionSuccess();
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        return ::testing::AssertionFailure()
               << "no \"" << text << "\" after byte " << position_ << " in:\n"
               << err;
      }
      std::this_thread::sleep_for(20ms);
    }
  }

 private:
  const BackgroundProcess& process_;
  size_t position_ = 0;
};

// The agent, copied into a directory whose name would run a command if the
// swap script let the shell expand it, against the development backend on
// port 8000 and (once started) the update site on port 3000, with a TMPDIR
// of its own.
class UpdateProcess : public ::testing::Test {
 protected:
  UpdateProcess() {
    const auto tool = [this](const std::string& key, const std::string& out) {
      writeFile(tools_.file(key + ".out"), out);
    };
    tool("ioreg-platform-expert",
         "+-o J314sAP  <class IOPlatformExpertDevice>\n  {\n    \"IOPlatformUUID\" = \"" +
             std::string(kDeviceId) + "\"\n  }\n");
    tool("sw_vers-product-version", "14.5\n");
    tool("hostname", "test-mac\n");
    old_build_ = readFile(TAVRINE_BINARY);
    new_build_ = old_build_ + "\nanother build\n";  // trailing bytes leave an ELF image runnable
    std::filesystem::create_directories(installDir());
    writeFile(exe_, old_build_);
    ::chmod(exe_.c_str(), 0755);

    devserver::Options api;
    api.port = 8000;
    api.log_requests = false;
    api_ = std::make_unique<devserver::DevServer>(api);
    EXPECT_TRUE(api_->start());
  }

  ~UpdateProcess() override {
    site_.reset();
    // A test that failed half-way may leave a swap script waiting to start
    // an agent: it removes its directory just before.
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < deadline && !stagedDirectory().empty();) {
      std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(200ms);
    stopRestarted();
  }

  // The private directory of a staged update in TMPDIR, or "".
  std::string stagedDirectory() const {
    for (const auto& name : entries(tmp_.path())) {
      if (name.starts_with("tavrine-update.") && name != "tavrine-update.sh")
        return tmp_.file(name);
    }
    return "";
  }

  // The restarted agent is nobody's child here: it is found by its executable.
  void stopRestarted() const {
    for (const int signal_number : {SIGTERM, SIGKILL}) {
      for (const pid_t pid : processesRunning(exe_)) ::kill(pid, signal_number);
      for (auto deadline = std::chrono::steady_clock::now() + 5s;
           !processesRunning(exe_).empty() && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(20ms);
      }
    }
  }

  std::string installDir() const { return install_.file("a \"b\" $(touch pwned) c"); }

  // The environment of the agent, with `path` as its PATH (by default the
  // stand-in tools first, then the system's).
  Environment environment(const std::string& path = kDefaultPath) const {
    Environment env;
    env.set = {{"HOME", home_.path()},
               {"PATH", path},
               {"TAVRINE_STANDIN_DIR", tools_.path()},
               {"TAVRINE_ENV", "dev"},
               {"TMPDIR", tmp_.path()}};
    return env;
  }

  void startSite() {
    site_ = std::make_unique<devserver::UpdateSite>(
        devserver::UpdateSiteOptions{updates_.path(), "127.0.0.1", 3000, false});
    ASSERT_TRUE(site_->start());
  }

  // The fields of a published manifest; by default a signed manifest's
  // expiry a day ahead and the hash and size of the file that `url` names
  // under /updates/ (of no bytes when there is none).
  struct Published {
    std::string url;
    std::optional<std::string> sha256;
    std::optional<uint64_t> size;
    std::optional<std::string> expires;
  };

  // An RFC 3339 time `from_now` away.
  static std::string timestamp(std::chrono::seconds from_now) {
    return fmt::format("{:%FT%TZ}", std::chrono::floor<std::chrono::seconds>(
                                        std::chrono::system_clock::now() + from_now));
  }

  // Publishes a manifest of `version` whose universal artifact has `url`
  // (and `sha256` when given); the site signs it.
  void publish(const std::string& version, const std::string& url = "",
               const std::string& sha256 = "") {
    publish(version, Published{url, sha256.empty() ? std::nullopt : std::optional(sha256), {}, {}});
  }
  void publish(const std::string& version, const Published& fields, bool hash = true,
               bool size = true) {
    const std::string file = fields.url.starts_with("/updates/") &&
                                     std::filesystem::exists(updates_.file(fields.url.substr(9)))
                                 ? readFile(updates_.file(fields.url.substr(9)))
                                 : "";
    std::vector<std::string> members;
    if (!fields.url.empty()) members.push_back("\"url\": \"" + fields.url + "\"");
    if (hash) {
      members.push_back("\"sha256\": \"" +
                        fields.sha256.value_or(crypto::toHex(crypto::sha256(file))) + "\"");
    }
    if (size) members.push_back(fmt::format("\"size\": {}", fields.size.value_or(file.size())));
    const std::string artifact = fmt::format("{{{}}}", fmt::join(members, ", "));
    writeFile(updates_.file("manifest.json"),
              "{\"expires\": \"" + fields.expires.value_or(timestamp(std::chrono::hours(24))) +
                  "\", \"platforms\": {\"macos\": {\"version\": \"" + version +
                  "\", \"artifacts\": {\"universal\": " + artifact + "}}}}");
  }

  std::unique_ptr<BackgroundProcess> startAgent(const std::string& path = kDefaultPath) {
    return startAgent({exe_}, environment(path));
  }

  std::unique_ptr<BackgroundProcess> startAgent(const std::vector<std::string>& argv,
                                                const Environment& env) {
    auto agent = std::make_unique<BackgroundProcess>(argv, env, true);
    EXPECT_TRUE(agent->waitForError("Agent running. Click the menu bar icon to quit.\n", 60s))
        << agent->errorOutput();
    return agent;
  }

  // Whether this test may make a mount namespace of its own: root, as in CI.
  static bool canMount() {
    return ::geteuid() == 0 &&
           test_support::runProcess({"/usr/bin/unshare", "-m", "/bin/true"}).exit_code == 0;
  }

  // The agent in a private mount namespace, started once `setup` has run
  // there (a shell command with `arguments` as $1...); the swap script it
  // starts stays in that namespace.
  std::unique_ptr<BackgroundProcess> startAgentWithMounts(const std::string& setup,
                                                          const std::vector<std::string>& arguments,
                                                          const Environment& env) {
    // unshare makes the new namespace's mounts private: nothing leaks out.
    std::vector<std::string> argv{"/usr/bin/unshare", "-m", "/bin/sh", "-c"};
    argv.push_back(setup + " && exec \"$0\"");
    argv.push_back(exe_);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return startAgent(argv, env);
  }

  // Takes the agent through "Update Now" to its exit, with the private
  // directory checked while "Update Ready" waits.
  void updateNow(BackgroundProcess& agent, Transcript& transcript) {
    agent.writeInput("click Check for Updates...\n");
    ASSERT_TRUE(transcript.next(
        "info: Checking for updates at http://localhost:3000/updates/manifest.json... "
        "Current version: 0.2.0\n"));
    ASSERT_TRUE(transcript.next(
        "alert: Update Available: Version 0.3.0 is available. You are running version 0.2.0. "
        "[Update Now] [Later]\n"));
    agent.writeInput("answer Update Now\n");
    ASSERT_TRUE(
        transcript.next("info: Downloading update from: http://localhost:3000/updates/build\n"));
    ASSERT_TRUE(transcript.next("info: Update downloaded successfully. Restart required.\n"));
    ASSERT_TRUE(
        transcript.next("alert: Update Ready: The update has been downloaded. The agent "
                        "will restart to apply the update. [OK]\n"));

    // The download and the script wait in a private directory, nowhere else.
    const std::string directory = stagedDirectory();
    ASSERT_NE(directory, "") << ::testing::PrintToString(entries(tmp_.path()));
    for (const std::string& path :
         {directory, directory + "/tavrine-update", directory + "/tavrine-update.sh"}) {
      struct stat info {};
      ASSERT_EQ(::lstat(path.c_str(), &info), 0) << path;
      EXPECT_EQ(info.st_mode & 07777, 0700u) << path;
      EXPECT_EQ(info.st_uid, ::getuid()) << path;
    }
    EXPECT_EQ(readFile(directory + "/tavrine-update"), new_build_);

    agent.writeInput("answer OK\n");
    const auto ended = agent.wait(10s);
    ASSERT_TRUE(ended) << agent.errorOutput();
    EXPECT_EQ(ended->exit_code, 0) << agent.errorOutput();
  }

  // Waits for the executable at exe_ to run again, with no arguments, and to
  // register with the backend (its standard error is the old agent's).
  void expectRestartedAndRegistered(Transcript& transcript) {
    ASSERT_TRUE(transcript.next(kRegistered, 60s));
    // A tool the new agent is starting runs its executable too until the
    // tool's own takes over (slow under the sanitizers), so one lone process
    // may take a moment.
    auto running = processesRunning(exe_);
    for (const auto deadline = std::chrono::steady_clock::now() + 10s;
         running.size() > 1 && std::chrono::steady_clock::now() < deadline;
         running = processesRunning(exe_)) {
      std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(test_support::processArguments(running[0]), std::vector<std::string>{exe_})
        << "started with no arguments";
    EXPECT_TRUE(api_->device(kDeviceId));
  }

  TempDir home_, tools_, tmp_, updates_, install_;
  std::string exe_ = installDir() + "/tavrine";
  std::string old_build_, new_build_;
  std::unique_ptr<devserver::DevServer> api_;
  std::unique_ptr<devserver::UpdateSite> site_;
};

TEST_F(UpdateProcess, UpdateNowSwapsTheExecutableAndTheNewBuildStartsAndRegisters) {
  startSite();
  writeFile(updates_.file("build"), new_build_);
  // Checksums are compared without regard to case.
  std::string digest = crypto::toHex(crypto::sha256(new_build_));
  std::transform(digest.begin(), digest.end(), digest.begin(), ::toupper);
  publish("0.3.0", "/updates/build", digest);
  // Links planted at the fixed names of the temporary directory are never
  // written through.
  writeFile(home_.file("victim"), "keep me");
  ASSERT_EQ(::symlink(home_.file("victim").c_str(), tmp_.file("tavrine-update").c_str()), 0);
  ASSERT_EQ(::symlink(home_.file("victim").c_str(), tmp_.file("tavrine-update.sh").c_str()), 0);

  // A PATH with nothing on it but the stand-ins of the macOS tools: the swap
  // needs none of it.
  auto agent = startAgent(TAVRINE_FIXTURES_DIR);
  Transcript transcript(*agent);
  ASSERT_TRUE(transcript.next(kRegistered));
  ASSERT_NO_FATAL_FAILURE(updateNow(*agent, transcript));
  ASSERT_NO_FATAL_FAILURE(expectRestartedAndRegistered(transcript));

  EXPECT_EQ(readFile(exe_), new_build_);
  struct stat info {};
  ASSERT_EQ(::stat(exe_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  EXPECT_EQ(readFile(exe_ + ".backup"), old_build_);
  EXPECT_EQ(entries(installDir()), (std::vector<std::string>{"tavrine", "tavrine.backup"}));
  EXPECT_EQ(entries(tmp_.path()), (std::vector<std::string>{"tavrine-update", "tavrine-update.sh"}))
      << "the private directory is gone";
  EXPECT_EQ(readFile(home_.file("victim")), "keep me");
  EXPECT_FALSE(std::filesystem::exists("pwned"));
  EXPECT_FALSE(std::filesystem::exists(install_.file("pwned")));
}

TEST_F(UpdateProcess, ABuildThatFailsToStartIsSwappedOutAgainAndTheOldBuildRuns) {
  startSite();
  // A program of this machine, so every check on the download passes; it
  // exits 1 on "help".
  new_build_ = readFile(TAVRINE_FAILING_BUILD);
  writeFile(updates_.file("build"), new_build_);
  publish("0.3.0", "/updates/build");

  auto agent = startAgent();
  Transcript transcript(*agent);
  ASSERT_TRUE(transcript.next(kRegistered));
  ASSERT_NO_FATAL_FAILURE(updateNow(*agent, transcript));
  ASSERT_NO_FATAL_FAILURE(expectRestartedAndRegistered(transcript));
  EXPECT_EQ(readFile(exe_), old_build_);
  EXPECT_EQ(readFile(exe_ + ".backup"), old_build_);
  EXPECT_EQ(entries(installDir()), (std::vector<std::string>{"tavrine", "tavrine.backup"}));
  EXPECT_TRUE(entries(tmp_.path()).empty()) << ::testing::PrintToString(entries(tmp_.path()));
}

// A build that answers "help" but ends on its third second, with a folder
// planted at the backup's name: the folder gives way to the backup, the
// backup is put back within 20 s and the old build reports again.
TEST_F(UpdateProcess, ABuildThatEndsSoonAfterItStartsIsReplacedByTheBackupWithin20Seconds) {
  startSite();
  new_build_ = readFile(TAVRINE_FAILING_BUILD);
  writeFile(updates_.file("build"), new_build_);
  publish("0.3.0", "/updates/build");
  std::filesystem::create_directories(exe_ + ".backup");
  writeFile(exe_ + ".backup/planted", "");

  Environment env = environment();
  env.set.emplace_back("TAVRINE_TEST_FAILING_BUILD", "later");
  auto agent = startAgent({exe_}, env);
  Transcript transcript(*agent);
  ASSERT_TRUE(transcript.next(kRegistered));
  ASSERT_NO_FATAL_FAILURE(updateNow(*agent, transcript));
  const auto ended = std::chrono::steady_clock::now();
  ASSERT_TRUE(transcript.next("Tavrine update: the new build gave no sign of life"));
  ASSERT_NO_FATAL_FAILURE(expectRestartedAndRegistered(transcript));
  EXPECT_LT(std::chrono::steady_clock::now() - ended, 20s);
  EXPECT_EQ(readFile(exe_), old_build_);
  EXPECT_EQ(readFile(exe_ + ".backup"), old_build_);
  EXPECT_EQ(entries(installDir()), (std::vector<std::string>{"tavrine", "tavrine.backup"}));
  EXPECT_TRUE(entries(tmp_.path()).empty()) << ::testing::PrintToString(entries(tmp_.path()));
}

TEST_F(UpdateProcess, ATerminationSignalWhileUpdateReadyWaitsLeavesNothingStaged) {
  startSite();
  writeFile(updates_.file("build"), new_build_);
  publish("0.3.0", "/updates/build");
  for (const int signal_number : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal_number);
    auto agent = startAgent();
    Transcript transcript(*agent);
    agent->writeInput("click Check for Updates...\n");
    ASSERT_TRUE(transcript.next("[Update Now] [Later]\n"));
    agent->writeInput("answer Update Now\n");
    ASSERT_TRUE(transcript.next("alert: Update Ready: "));
    ASSERT_NE(stagedDirectory(), "");
    agent->signal(signal_number);
    const auto ended = agent->wait(10s);
    ASSERT_TRUE(ended) << agent->errorOutput();
    EXPECT_EQ(ended->exit_code, 0) << agent->errorOutput();
    EXPECT_TRUE(entries(tmp_.path()).empty()) << ::testing::PrintToString(entries(tmp_.path()));
    EXPECT_EQ(entries(installDir()), std::vector<std::string>{"tavrine"});
    EXPECT_EQ(readFile(exe_), old_build_);
  }
}

TEST_F(UpdateProcess, UnderLaunchdTheScriptHasLaunchdStartTheNewBuildAndStartsNoneItself) {
  if (!canMount()) GTEST_SKIP() << "needs root for a mount namespace";
  startSite();
  writeFile(updates_.file("build"), new_build_);
  publish("0.3.0", "/updates/build");
  // The script calls /bin/launchctl by that path: in the agent's namespace
  // the system's bin folder shows the stand-in there too, which starts the
  // job's executable on a kickstart, as launchd would.
  TempDir overlay;
  writeFile(overlay.file("launchctl"),
            "#!/bin/sh\n'" TAVRINE_FIXTURES_DIR
            "/launchctl' \"$@\" || exit $?\n"
            "if [ \"$1\" = kickstart ]; then \"$TAVRINE_TEST_JOB\" </dev/null & fi\n");
  ASSERT_EQ(::chmod(overlay.file("launchctl").c_str(), 0755), 0);
  const std::string bin = std::filesystem::canonical("/bin").string();
  Environment env = environment();
  env.set.emplace_back("XPC_SERVICE_NAME", TAVRINE_LAUNCHD_LABEL);
  env.set.emplace_back("TAVRINE_TEST_JOB", exe_);
  auto agent = startAgentWithMounts("/bin/mount -t overlay overlay -o \"lowerdir=$1:$2\" \"$2\"",
                                    {overlay.path(), bin}, env);
  Transcript transcript(*agent);
  ASSERT_TRUE(transcript.next(kRegistered));
  ASSERT_NO_FATAL_FAILURE(updateNow(*agent, transcript));

  const std::string kickstart =
      fmt::format("launchctl kickstart -k gui/{}/{}\n", ::getuid(), TAVRINE_LAUNCHD_LABEL);
  const auto kickstarts = [&] {
    const std::string calls = readFile(tools_.file("calls.log"));
    size_t count = 0;
    for (size_t at = calls.find(kickstart); at != std::string::npos;
         at = calls.find(kickstart, at + 1)) {
      ++count;
    }
    return count;
  };
  for (auto deadline = std::chrono::steady_clock::now() + 60s;
       kickstarts() == 0 && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(kickstarts(), 1u) << readFile(tools_.file("calls.log"));
  // The one agent running is the one launchd started; it gave its sign of
  // life, so the new build stays.
  ASSERT_NO_FATAL_FAILURE(expectRestartedAndRegistered(transcript));
  EXPECT_FALSE(transcript.next(kRegistered, 2s)) << "no second registration";
  EXPECT_EQ(kickstarts(), 1u) << readFile(tools_.file("calls.log"));
  EXPECT_EQ(readFile(exe_), new_build_);
  EXPECT_EQ(readFile(exe_ + ".backup"), old_build_);
  EXPECT_EQ(stagedDirectory(), "");
}

TEST_F(UpdateProcess, AnExecutableFolderThisUserCannotWriteEndsInTheAdministratorAlert) {
  // Root may write into any folder by its mode, but not onto a read-only
  // mount: the folder is one in the agent's own mount namespace.
  if (!canMount()) GTEST_SKIP() << "needs root for a mount namespace";
  startSite();
  writeFile(updates_.file("build"), new_build_);
  publish("0.3.0", "/updates/build");
  auto agent = startAgentWithMounts(
      "/bin/mount --bind \"$1\" \"$1\" && /bin/mount -o remount,bind,ro \"$1\"", {installDir()},
      environment());
  Transcript transcript(*agent);
  ASSERT_TRUE(transcript.next(kRegistered));
  agent->writeInput("click Check for Updates...\n");
  ASSERT_TRUE(transcript.next("[Update Now] [Later]\n"));
  agent->writeInput("answer Update Now\n");
  ASSERT_TRUE(transcript.next(": error.ReadOnlyFileSystem\n"));
  ASSERT_TRUE(transcript.next(
      "alert: Update Failed: Updates for this Mac are installed by your administrator [OK]\n"));
  agent->writeInput("answer OK\nmenu\n");
  ASSERT_TRUE(transcript.next("menu: Check for Updates...\n")) << "nothing was downloaded";
  EXPECT_EQ(agent->errorOutput().find("Downloading update"), std::string::npos);
  EXPECT_TRUE(entries(tmp_.path()).empty()) << ::testing::PrintToString(entries(tmp_.path()));

  agent->writeInput("click Quit Tavrine\n");
  const auto ended = agent->wait(10s);
  ASSERT_TRUE(ended) << agent->errorOutput();
  EXPECT_EQ(ended->exit_code, 0);
  EXPECT_EQ(readFile(exe_), old_build_);
  EXPECT_EQ(entries(installDir()), std::vector<std::string>{"tavrine"});
}

// The peak resident size of process `pid` in bytes (VmHWM), or 0.
size_t peakResidentSize(pid_t pid) {
  const std::string status = readFile(fmt::format("/proc/{}/status", pid));
  const size_t at = status.find("VmHWM:");
  if (at == std::string::npos) return 0;
  return static_cast<size_t>(std::atoll(status.c_str() + at + 6)) * 1024;  // given in kB
}

TEST_F(UpdateProcess, AnOversizedOrDeeplyNestedManifestEndsInOneAlertWithinBoundedMemory) {
  ASSERT_NO_FATAL_FAILURE(startSite());
  auto agent = startAgent();
  Transcript transcript(*agent);
  const struct {
    std::string manifest;
    const char* error;
  } cases[] = {
      {std::string(size_t{2} << 20, '['), "StreamTooLong"},
      {"{\"platforms\": {\"macos\": {\"version\": \"0.3.0\", \"a\": " +
           std::string(size_t{1000} << 10, '['),
       "NestingTooDeep"},
      {[] {
         std::string objects;
         while (objects.size() < (size_t{1000} << 10)) objects += "{\"a\": ";
         return objects;
       }(),
       "NestingTooDeep"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    writeFile(updates_.file("manifest.json"), c.manifest);
    agent->writeInput("click Check for Updates...\n");
    ASSERT_TRUE(transcript.next(
        fmt::format("error: Failed to parse update response: error.{}\n", c.error)));
    ASSERT_TRUE(
        transcript.next("alert: Update Check Failed: Failed to parse update information [OK]\n"));
    agent->writeInput("answer OK\n");
  }
  const size_t peak = peakResidentSize(agent->pid());
  RecordProperty("peak_resident_bytes", std::to_string(peak));
  std::cerr << "peak resident size of the agent: " << peak / 1024 << " KiB\n";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' shadow memory dwarfs the figure; it is measured in the
  // normal build.
#else
  EXPECT_GT(peak, 0u);
  EXPECT_LT(peak, size_t{64} << 20);
#endif
  agent->writeInput("click Quit Tavrine\n");
  const auto ended = agent->wait(10s);
  ASSERT_TRUE(ended) << agent->errorOutput();
  EXPECT_EQ(ended->exit_code, 0);
}

TEST_F(UpdateProcess, EveryOtherOutcomeEndsInOneAlertAndTheAgentRunsOn) {
  auto agent = startAgent();
  Transcript transcript(*agent);
  // Clicks the update entry (titled `entry`), expects `lines` and the alert
  // `alert` with an "OK" button (answered), and that nothing was installed.
  const auto check = [&](const std::string& entry, const std::vector<std::string>& lines,
                         const std::string& alert) {
    SCOPED_TRACE(alert);
    agent->writeInput("click " + entry + "\n");
    for (const auto& line : lines) ASSERT_TRUE(transcript.next(line));
    ASSERT_TRUE(transcript.next("alert: " + alert + " [OK]\n"));
    agent->writeInput("answer OK\n");
    EXPECT_TRUE(entries(tmp_.path()).empty()) << ::testing::PrintToString(entries(tmp_.path()));
    EXPECT_EQ(readFile(exe_), old_build_);
  };
  const std::string entry = "Check for Updates...";

  check(entry, {"error: Update check failed: error.RequestFailed\n"},
        "Update Check Failed: Failed to connect to update server");
  ASSERT_NO_FATAL_FAILURE(startSite());
  check(entry, {"warning: Update check returned status: 404\n"},
        "Update Check Failed: Update server returned an error");
  writeFile(updates_.file("manifest.json"), "{\"platforms\": {\"macos\": {\"version\": ");
  check(entry, {"error: Failed to parse update response: error.UnexpectedEndOfInput\n"},
        "Update Check Failed: Failed to parse update information");
  publish("0.2.0", "/updates/build");
  check(entry, {}, "No Updates Available: You are running the latest version.");

  publish("0.3.0", "/updates/build");
  agent->writeInput("click " + entry + "\n");
  ASSERT_TRUE(transcript.next("[Update Now] [Later]\n"));
  agent->writeInput("answer Later\nmenu\n");
  ASSERT_TRUE(transcript.next("menu: Check for Updates...\n")) << "Later leaves the title alone";

  // From the first download on, the entry is titled "Downloading...".
  const auto download = [&](const std::string& entry_title, const std::string& line,
                            const std::string& alert) {
    agent->writeInput("click " + entry_title + "\n");
    ASSERT_TRUE(transcript.next("[Update Now] [Later]\n"));
    agent->writeInput("answer Update Now\n");
    check(entry_title, {"info: Downloading update from: ", line}, alert);
  };
  writeFile(updates_.file("page.html"), "<!DOCTYPE html><html><body>Sign in</body></html>");
  writeFile(updates_.file("empty"), "");
  writeFile(updates_.file("build"), new_build_);
  publish("0.3.0", "/updates/missing");
  download(entry, "error: Download returned status: 404\n",
           "Update Failed: Download server returned an error");
  publish("0.3.0");  // no URL at all
  download("Downloading...", "error: Download failed: error.RequestFailed\n",
           "Update Failed: Failed to download update");
  // Four bytes that only start like a program, and a whole program made for
  // another processor.
  writeFile(updates_.file("four-bytes"),
            "\x7f"
            "ELF");
  std::string foreign = old_build_;
  foreign[18] = foreign[18] == 62 ? static_cast<char>(183) : static_cast<char>(62);
  foreign[19] = 0;
  writeFile(updates_.file("foreign"), foreign);
  for (const char* refused :
       {"/updates/page.html", "/updates/empty", "/updates/four-bytes", "/updates/foreign"}) {
    publish("0.3.0", refused);
    download("Downloading...", "error: Download failed: error.InvalidExecutable\n",
             "Update Failed: Failed to download update");
  }
  publish("0.3.0", "/updates/build", crypto::toHex(crypto::sha256(old_build_)));
  download("Downloading...", "error: Download failed: error.ChecksumMismatch\n",
           "Update Failed: Failed to download update");

  // A version and a URL with ESC and CR in them reach the console escaped.
  writeFile(updates_.file("manifest.json"),
            R"({"expires": ")" + timestamp(std::chrono::hours(1)) +
                R"(", "platforms": {"macos": {"version": "0.3.0\u001b[2K\r", "artifacts":)"
                R"( {"universal": {"url": "/updates/missing\u001b[1A\r", "size": 1, "sha256":)"
                R"( "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824"}}}}})");
  agent->writeInput("click Downloading...\n");
  ASSERT_TRUE(transcript.next(
      "alert: Update Available: Version 0.3.0\\x1B[2K\\x0D is available. You are running "
      "version 0.2.0. [Update Now] [Later]\n"));
  agent->writeInput("answer Update Now\n");
  ASSERT_TRUE(transcript.next(
      "info: Downloading update from: http://localhost:3000/updates/missing\\x1B[1A\\x0D\n"));
  ASSERT_TRUE(transcript.next("alert: Update Failed: "));
  agent->writeInput("answer OK\n");

  agent->writeInput("click Quit Tavrine\n");
  const auto ended = agent->wait(10s);
  ASSERT_TRUE(ended) << agent->errorOutput();
  EXPECT_EQ(ended->exit_code, 0);
  EXPECT_EQ(entries(installDir()), std::vector<std::string>{"tavrine"});
  const std::string err = agent->errorOutput();
  EXPECT_EQ(std::count_if(err.begin(), err.end(),
                          [](unsigned char c) { return (c < 0x20 && c != '\n') || c == 0x7f; }),
            0)
      << err;
}

}  // namespace

namespace {

TEST_F(UpdateProcess, EachRefusalOfASignedUpdateEndsInItsAlertWithNothingStagedOrSwapped) {
  ASSERT_NO_FATAL_FAILURE(startSite());
  writeFile(updates_.file("build"), new_build_);
  auto agent = startAgent();
  Transcript transcript(*agent);
  ASSERT_TRUE(transcript.next(kRegistered));
  std::string entry_title = "Check for Updates...";
  const auto nothing_installed = [&] {
    EXPECT_TRUE(entries(tmp_.path()).empty()) << ::testing::PrintToString(entries(tmp_.path()));
    EXPECT_EQ(readFile(exe_), old_build_);
    EXPECT_EQ(entries(installDir()), std::vector<std::string>{"tavrine"});
  };
  // Refused before the offer: nothing is fetched but the manifest and its
  // signature.
  const auto refused = [&](const std::string& line, const std::string& message) {
    SCOPED_TRACE(line);
    agent->writeInput("click " + entry_title + "\n");
    ASSERT_TRUE(transcript.next("error: Update information " + line + "\n"));
    ASSERT_TRUE(transcript.next("alert: Update Check Failed: " + message + " [OK]\n"));
    agent->writeInput("answer OK\n");
    nothing_installed();
  };
  const std::string unverified = "The update information could not be verified.";
  const std::string sig = updates_.file("manifest.json.sig");

  publish("0.3.0", "/updates/build");
  site_->setSigning(false);
  refused("could not be verified: error.SignatureMissing", unverified);
  site_->setSigning(true);
  // A signature of the development key, but of another manifest.
  writeFile(sig, devserver::signWithDevelopmentKey(readFile(updates_.file("manifest.json"))));
  publish("0.3.1", "/updates/build");
  refused("could not be verified: error.SignatureInvalid", unverified);
  // A signature that verifies, by a key the agent does not trust.
  const auto stranger = es256::generate();
  ASSERT_TRUE(stranger);
  writeFile(sig, update_signature::signManifest(readFile(updates_.file("manifest.json")), *stranger)
                     .value_or(""));
  refused("could not be verified: error.UnknownSigningKey", unverified);
  writeFile(sig, std::string(5000, 'A'));
  refused("could not be verified: error.StreamTooLong", unverified);
  std::filesystem::remove(sig);

  publish("0.3.0", Published{"/updates/build", {}, {}, timestamp(-std::chrono::seconds(1))});
  refused("has expired: error.ManifestExpired", "The update information has expired.");
  publish("0.3.0", Published{"/updates/build", {}, {}, {}}, false, true);
  refused("could not be verified: error.MissingField", unverified);
  publish("0.3.0", Published{"/updates/build", {}, {}, {}}, true, false);
  refused("could not be verified: error.MissingField", unverified);
  EXPECT_EQ(agent->errorOutput().find("alert: Update Available"), std::string::npos);

  // Refused after the download: a build longer or shorter than the manifest
  // says, or with another hash.
  const Published wrong[] = {
      {"/updates/build", {}, new_build_.size() - 1, {}},
      {"/updates/build", {}, new_build_.size() + 1, {}},
      {"/updates/build", crypto::toHex(crypto::sha256(old_build_)), {}, {}},
  };
  for (const auto& fields : wrong) {
    publish("0.3.0", fields);
    agent->writeInput("click " + entry_title + "\n");
    ASSERT_TRUE(transcript.next("[Update Now] [Later]\n"));
    agent->writeInput("answer Update Now\n");
    ASSERT_TRUE(transcript.next(fields.sha256 ? "error: Download failed: error.ChecksumMismatch\n"
                                              : "error: Download failed: error.SizeMismatch\n"));
    ASSERT_TRUE(transcript.next("alert: Update Failed: Failed to download update [OK]\n"));
    agent->writeInput("answer OK\n");
    nothing_installed();
    entry_title = "Downloading...";
  }

  // The agent reports on through all of it: the next cycle after the
  // refusals, whichever its number on a slow (sanitized) build.
  const uint64_t before = api_->device(kDeviceId).value_or(devserver::Device{}).report_count;
  ASSERT_TRUE(transcript.next("─── Tavrine Check #", 60s));
  for (auto deadline = std::chrono::steady_clock::now() + 30s;
       api_->device(kDeviceId).value_or(devserver::Device{}).report_count <= before &&
       std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_GT(api_->device(kDeviceId).value_or(devserver::Device{}).report_count, before);

  agent->writeInput("click Quit Tavrine\n");
  const auto ended = agent->wait(10s);
  ASSERT_TRUE(ended) << agent->errorOutput();
  EXPECT_EQ(ended->exit_code, 0);
}

}  // namespace
