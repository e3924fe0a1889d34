#include "tavrine/update/update_install.h"

#include "tavrine/base/crypto.h"
#include "tavrine/base/environment.h"
#include "tavrine/base/fs_util.h"
#include "tavrine/platform/exe_path.h"
#include "tavrine/base/unique_fd.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <new>
#include <utility>
#include <vector>

namespace update_install {
namespace {

constexpr mode_t kPrivateMode = 0700;

// A new file that nobody else can have prepared: O_EXCL fails on anything
// already there, O_NOFOLLOW on a link planted in its place.
Result<UniqueFd> createPrivateFile(const std::string& path) {
  UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateMode));
  if (!fd) return fail(errorFromErrno(errno));
  // The umask may have taken bits away; the owner needs them all.
  [[maybe_unused]] const int ignored = ::fchmod(fd.get(), kPrivateMode);
  return fd;
}

UpdateOutcome failure(std::string_view message) {
  UpdateOutcome outcome;
  outcome.message = message;
  return outcome;
}

}  // namespace

Result<void> checkDownload(std::string_view body,
                           const std::optional<std::string>& sha256) noexcept {
  if (body.empty() || !platform::isNativeExecutable(body)) return fail(Error::InvalidExecutable);
  if (sha256) {
    try {
      if (crypto::toHex(crypto::sha256(body)) != *sha256) return fail(Error::ChecksumMismatch);
    } catch (const std::bad_alloc&) {
      return fail(Error::OutOfMemory);
    }
  }
  return {};
}

std::string shellQuote(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::string scriptText(std::string_view exe, std::string_view download,
                       std::string_view directory) {
  // The old agent has two seconds to quit. A move or chmod that fails puts
  // the backup back, so that the start at the end runs a working agent
  // either way.
  return fmt::format(
      "#!/bin/bash\n"
      "sleep 2\n"
      "cp {exe} {backup}\n"
      "if ! {{ mv {tmp} {exe} && chmod +x {exe}; }}; then\n"
      "  cp -p {backup} {exe}\n"
      "fi\n"
      "rm -f {tmp}\n"
      "rm -f \"$0\"\n"
      "rmdir {dir}\n"
      "{exe} &\n",
      fmt::arg("exe", shellQuote(exe)),
      fmt::arg("backup", shellQuote(fmt::format("{}.backup", exe))),
      fmt::arg("tmp", shellQuote(download)), fmt::arg("dir", shellQuote(directory)));
}

std::string temporaryDirectory() {
  std::string directory(environment::find("TMPDIR").value_or(""));
  while (directory.size() > 1 && directory.ends_with('/')) directory.pop_back();
  if (!directory.starts_with('/')) return "/tmp";
  return directory;
}

StagedUpdate::StagedUpdate(StagedUpdate&& other) noexcept
    : directory_(std::exchange(other.directory_, {})) {}

StagedUpdate& StagedUpdate::operator=(StagedUpdate&& other) noexcept {
  if (this != &other) {
    remove();
    directory_ = std::exchange(other.directory_, {});
  }
  return *this;
}

StagedUpdate::~StagedUpdate() { remove(); }

void StagedUpdate::remove() noexcept {
  if (directory_.empty()) return;
  // Only the two names this module creates; anything else keeps the
  // directory (and rmdir fails quietly).
  ::unlink(downloadPath().c_str());
  ::unlink(scriptPath().c_str());
  ::rmdir(directory_.c_str());
  directory_.clear();
}

UpdateOutcome stage(std::string_view body, const std::string& exe) {
  try {
    std::string pattern = temporaryDirectory() + "/tavrine-update.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return failure("Could not create temporary file");
    UpdateOutcome outcome;
    outcome.staged = StagedUpdate(pattern);  // mkdtemp made it 0700
    const StagedUpdate& staged = outcome.staged;

    {
      auto download = createPrivateFile(staged.downloadPath());
      if (!download) return failure("Could not create temporary file");
      if (!fs_util::writeAll(download->get(), body)) return failure("Could not write update file");
    }

    auto script = createPrivateFile(staged.scriptPath());
    if (!script) return failure("Could not create update script");
    std::string text;
    try {
      text = scriptText(exe, staged.downloadPath(), staged.directory());
    } catch (const std::bad_alloc&) {
      return failure("Could not generate update script");
    }
    if (!fs_util::writeAll(script->get(), text)) return failure("Could not write update script");
    outcome.success = true;
    return outcome;
  } catch (const std::bad_alloc&) {
    return failure("Could not create temporary file");
  }
}

Result<void> startScript(const std::string& script) {
  posix_spawnattr_t attributes;
  if (const int error = ::posix_spawnattr_init(&attributes); error != 0) {
    return fail(errorFromErrno(error));
  }
  // Its own group, so that a signal meant for the agent's group (a Ctrl-C,
  // the end of a test) does not cut the swap short; the defaults for the
  // signals the agent handles or ignores, which exec would otherwise pass on
  // as ignored.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signal_number : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT, SIGCHLD}) {
    sigaddset(&defaults, signal_number);
  }
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setflags(
      &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  ::posix_spawnattr_setpgroup(&attributes, 0);
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  ::posix_spawnattr_setsigmask(&attributes, &none);

  std::string interpreter = "/bin/bash";
  std::string argument = script;
  char* argv[] = {interpreter.data(), argument.data(), nullptr};
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, interpreter.c_str(), nullptr, &attributes, argv,
                                  environment::processBlock());
  ::posix_spawnattr_destroy(&attributes);
  if (error != 0) return fail(errorFromErrno(error));
  // Not waited for: the agent ends within moments, and the script's first
  // step is a pause of two seconds, so it is never left a zombie for long.
  return {};
}

}  // namespace update_install
