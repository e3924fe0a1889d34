#pragma once

#include "tavrine/base/error.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

// The install half of the update: the checks on the downloaded bytes, the
// private directory with the download and the swap script, and the start of
// that script. The menu action (tray/update_action.cpp) drives it.
namespace update_install {

// Refuses a download that cannot run here: empty, or not a whole program
// header for this platform and processor (InvalidExecutable), or, when
// `sha256` (lowercase hex) is given, hashing to anything else
// (ChecksumMismatch).
[[nodiscard]] Result<void> checkDownload(std::string_view body,
                                         const std::optional<std::string>& sha256) noexcept;

// `text` in single quotes for the shell; each single quote inside becomes
// '\'' so that nothing in it is expanded or run.
[[nodiscard]] std::string shellQuote(std::string_view text);

// The programs the swap script runs, each by an absolute path: the agent's
// PATH may lack them (a launch agent's minimal environment), and nothing on
// it should be able to stand in for them. Tests point them elsewhere.
struct SwapTools {
  std::string sleep = "/bin/sleep";
  std::string cp = "/bin/cp";
  std::string mv = "/bin/mv";
  std::string chmod = "/bin/chmod";
  std::string rm = "/bin/rm";
  std::string rmdir = "/bin/rmdir";
  std::string launchctl = "/bin/launchctl";
};

// The agent that the swap replaces: the script waits for it to end before
// it touches the executable, has launchd start the new build when the agent
// runs as a launchd job, so that the new build runs as that job again and no
// copy runs beside it, and then waits for the new build's sign of life.
struct Handover {
  // Named in the script's message only: the wait itself is on the pipe that
  // startScript hands the script, which a reused or unreaped process id
  // cannot fool.
  pid_t agent = -1;
  // "gui/UID/LABEL" when the agent is this build's launchd job, else empty.
  std::string launchd_service;
  // The file a new build writes once it is up (readyFilePath); empty when
  // there is none to wait for.
  std::string ready_file;
  // How long the script waits for the old agent to end, and for the new
  // build's sign of life. Tests shorten them.
  int agent_wait_seconds = 30;
  int ready_wait_seconds = 15;
};

// This process as the agent to replace. launchd names the job it started in
// XPC_SERVICE_NAME; only this build's own label counts, since applications
// started by launchd pass their own value on to whatever they start.
[[nodiscard]] Handover thisAgent();

// Where an agent gives its sign of life for the swap script: beside the
// agent lock under `home`; nothing when HOME is relative.
[[nodiscard]] std::optional<std::string> readyFilePath(std::string_view home);

// Writes this process's id to readyFilePath(HOME), never through a link: the
// agent calls it once it holds its lock and its menu and checks run. A
// failure is silent; the swap script then puts the previous build back.
void signalReady() noexcept;

// Whether this process can replace `exe` (an absolute path without links):
// its folder writable and searchable, and in a folder with the sticky bit,
// the executable or the folder ours. A system-wide install belongs to root
// and is updated by its administrator instead.
[[nodiscard]] Result<void> checkReplaceable(const std::string& exe);

// The swap script for the executable `exe`, the new build at `download` and
// the private `directory` that holds both it and the script. In order: wait
// up to agent_wait_seconds for the old agent to end, reading descriptor 3
// (the read end of a pipe whose write end only the agent holds) to its end
// (when the wait runs out, remove the staged files, say so on standard error
// and stop there, starting nothing); remove anything but a regular file at
// "{exe}.backup" and "{exe}.update-swap" (nothing moves when that fails);
// copy `exe` to "{exe}.backup" through the swap name (nothing else happens
// when that copy fails); copy the new build beside `exe`, make it mode 0755
// and rename it over `exe`; run it once with "help" (ten seconds at most);
// when any of that fails, put the backup back. Then remove the download,
// the script and `directory`, and start the executable: through
// "launchctl kickstart -k" when the agent was a launchd job, else `exe` with
// no arguments in the background. A new build that gives no sign of life
// (ready_file) within ready_wait_seconds, or that ends first, is stopped,
// the backup put back and the previous build started the same way.
[[nodiscard]] std::string scriptText(std::string_view exe, std::string_view download,
                                     std::string_view directory, const Handover& handover,
                                     const SwapTools& tools = {});

// The directory the private update directory is made in: TMPDIR when it is
// set to an absolute path, else /tmp. (stage() falls back to /tmp when that
// directory turns out unusable.)
[[nodiscard]] std::string temporaryDirectory();

// A private directory holding the download and the script. Removed with its
// contents when the object goes, unless handOver() gave it to the script,
// and also when the process exits through exit() while it is held: the
// termination signals and terminate: end the agent that way from inside an
// alert, where no destructor of the menu action runs.
class StagedUpdate {
 public:
  // The only two names a staged directory holds.
  static constexpr const char* kDownloadName = "/tavrine-update";
  static constexpr const char* kScriptName = "/tavrine-update.sh";

  StagedUpdate() = default;
  explicit StagedUpdate(std::string directory);
  StagedUpdate(StagedUpdate&& other) noexcept;
  StagedUpdate& operator=(StagedUpdate&& other) noexcept;
  StagedUpdate(const StagedUpdate&) = delete;
  StagedUpdate& operator=(const StagedUpdate&) = delete;
  ~StagedUpdate();

  [[nodiscard]] const std::string& directory() const noexcept { return directory_; }
  [[nodiscard]] std::string downloadPath() const { return directory_ + kDownloadName; }
  [[nodiscard]] std::string scriptPath() const { return directory_ + kScriptName; }
  // The script removes the directory from now on.
  void handOver() noexcept;

 private:
  void remove() noexcept;
  std::string directory_;
};

// What the download-and-install steps came to: the staged files, or the
// message of the "Update Failed" alert.
struct UpdateOutcome {
  bool success = false;
  StagedUpdate staged;
  std::string_view message;
};

// Writes `body` and the swap script for `exe` into a new private directory
// (mode 0700, both files created anew with mode 0700, never through a link)
// in temporaryDirectory(), or in /tmp when that one cannot hold it.
[[nodiscard]] UpdateOutcome stage(std::string_view body, const std::string& exe,
                                  const Handover& handover, const SwapTools& tools = {});

// Starts "/bin/bash" on `script` in a process group of its own, with this
// process's standard streams, environment and working directory and every
// signal at its default, and on its descriptor 3 the read end of a pipe whose
// write end this process keeps, close-on-exec, until it ends: the script
// waits on it for this process to be gone. Not waited for, and not one of
// the children that the exit path kills. The start or execution error when
// it cannot run.
[[nodiscard]] Result<void> startScript(const std::string& script);

}  // namespace update_install
