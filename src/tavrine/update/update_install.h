#pragma once

#include "tavrine/base/error.h"

#include <optional>
#include <string>
#include <string_view>

// The install half of the update: the checks on the downloaded bytes, the
// private directory with the download and the swap script, and the start of
// that script. The menu action (tray/update_action.cpp) drives it.
namespace update_install {

// Refuses a download that cannot be this platform's program: empty, or not
// starting like one (InvalidExecutable), or, when `sha256` (lowercase hex)
// is given, hashing to anything else (ChecksumMismatch).
[[nodiscard]] Result<void> checkDownload(std::string_view body,
                                         const std::optional<std::string>& sha256) noexcept;

// `text` in single quotes for the shell; each single quote inside becomes
// '\'' so that nothing in it is expanded or run.
[[nodiscard]] std::string shellQuote(std::string_view text);

// The swap script: after two seconds, back up `exe`, move `download` over it
// and make it executable, putting the backup back when either fails; then
// remove the download, the script and `directory`, and start `exe` with no
// arguments in the background.
[[nodiscard]] std::string scriptText(std::string_view exe, std::string_view download,
                                     std::string_view directory);

// The directory the private update directory is made in: TMPDIR when it is
// set to an absolute path, else /tmp.
[[nodiscard]] std::string temporaryDirectory();

// A private directory holding the download and the script. Removed with its
// contents when the object goes, unless handOver() gave it to the script.
class StagedUpdate {
 public:
  StagedUpdate() = default;
  explicit StagedUpdate(std::string directory) : directory_(std::move(directory)) {}
  StagedUpdate(StagedUpdate&& other) noexcept;
  StagedUpdate& operator=(StagedUpdate&& other) noexcept;
  StagedUpdate(const StagedUpdate&) = delete;
  StagedUpdate& operator=(const StagedUpdate&) = delete;
  ~StagedUpdate();

  [[nodiscard]] const std::string& directory() const noexcept { return directory_; }
  [[nodiscard]] std::string downloadPath() const { return directory_ + "/tavrine-update"; }
  [[nodiscard]] std::string scriptPath() const { return directory_ + "/tavrine-update.sh"; }
  // The script removes the directory from now on.
  void handOver() noexcept { directory_.clear(); }

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
// (mode 0700, both files created anew with mode 0700, never through a link).
[[nodiscard]] UpdateOutcome stage(std::string_view body, const std::string& exe);

// Starts "/bin/bash" on `script` in a process group of its own, with this
// process's standard streams, environment and working directory and every
// signal at its default; not waited for, and not one of the children that
// the exit path kills. The start or execution error when it cannot run.
[[nodiscard]] Result<void> startScript(const std::string& script);

}  // namespace update_install
