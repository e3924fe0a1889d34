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

// The agent that the swap replaces: the script waits for its process to end
// before it touches the executable, and has launchd start the new build when
// the agent runs as a launchd job, so that the new build runs as that job
// again and no copy runs beside it.
struct Handover {
  pid_t agent = -1;
  // "gui/UID/LABEL" when the agent is this build's launchd job, else empty.
  std::string launchd_service;
};

// This process as the agent to replace. launchd names the job it started in
// XPC_SERVICE_NAME; only this build's own label counts, since applications
// started by launchd pass their own value on to whatever they start.
[[nodiscard]] Handover thisAgent();

// Whether this process can replace `exe` (an absolute path without links):
// its folder writable and searchable, and in a folder with the sticky bit,
// the executable or the folder ours. A system-wide install belongs to root
// and is updated by its administrator instead.
[[nodiscard]] Result<void> checkReplaceable(const std::string& exe);

// The swap script for the executable `exe`, the new build at `download` and
// the private `directory` that holds both it and the script. In order: wait
// up to thirty seconds for the old agent's process to end (when it does not,
// remove the staged files, say so on standard error and stop there); copy
// `exe` to "{exe}.backup" through a temporary name beside it (nothing else
// happens when that copy fails); copy the new build beside `exe`, make it
// mode 0755 and rename it over `exe`; run it once with "help" (ten seconds
// at most); when any of that fails, put the backup back. Then remove the
// download, the script and `directory`, and start the executable: through
// "launchctl kickstart -k" when the agent was a launchd job, else `exe` with
// no arguments in the background.
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
// signal at its default; not waited for, and not one of the children that
// the exit path kills. The start or execution error when it cannot run.
[[nodiscard]] Result<void> startScript(const std::string& script);

}  // namespace update_install
