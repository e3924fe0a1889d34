#include "tavrine/update/update_install.h"

#include "tavrine/base/crypto.h"
#include "tavrine/base/environment.h"
#include "tavrine/base/fs_util.h"
#include "tavrine/base/immortal.h"
#include "tavrine/base/unique_fd.h"
#include "tavrine/build_config.h"
#include "tavrine/platform/exe_path.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace update_install {
namespace {

constexpr mode_t kPrivateMode = 0700;
// The descriptor on which the swap script waits for the agent to end.
constexpr int kAgentPipeFd = 3;
// The write end of that pipe, kept by the agent for the rest of its life.
struct AgentEnd {
  UniqueFd write_end;
};

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

constexpr const char* kFallbackDirectory = "/tmp";
// Only the two names this module creates; anything else keeps the directory
// (and rmdir fails quietly).
void removeStaged(const std::string& directory) noexcept {
  ::unlink((directory + StagedUpdate::kDownloadName).c_str());
  ::unlink((directory + StagedUpdate::kScriptName).c_str());
  ::rmdir(directory.c_str());
}

// The staged directories that no script has taken over yet, removed by an
// exit handler as well as by their owners. The handler is registered with the
// first one, which is after the agent's own: handlers run in reverse order,
// so this one runs even when the agent's ends the process at once.
class PendingRemovals {
 public:
  // Without memory for the list the directory is still removed by its
  // owner, only not at exit.
  void add(const std::string& directory) noexcept {
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(&removeAllAtExit); });
    const std::lock_guard guard(lock_);
    try {
      directories_.push_back(directory);
    } catch (const std::bad_alloc&) {
    }
  }
  void drop(const std::string& directory) noexcept {
    const std::lock_guard guard(lock_);
    std::erase(directories_, directory);
  }

 private:
  static void removeAllAtExit() noexcept;
  std::mutex lock_;
  std::vector<std::string> directories_;
};

PendingRemovals& pending() {
  static PendingRemovals removals;  // outlives every StagedUpdate: made before the first
  return removals;
}

void PendingRemovals::removeAllAtExit() noexcept {
  PendingRemovals& removals = pending();
  // Never wait at exit: a thread that exited while holding the lock would
  // hang the process.
  if (!removals.lock_.try_lock()) return;
  for (const std::string& directory : removals.directories_) removeStaged(directory);
  removals.directories_.clear();
  removals.lock_.unlock();
}

// A new private directory in `parent`, or nothing.
std::optional<std::string> makePrivateDirectory(const std::string& parent) {
  std::string pattern = parent + "/tavrine-update.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;  // made with mode 0700
  return pattern;
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

std::string scriptText(std::string_view exe, std::string_view download, std::string_view directory,
                       const Handover& handover, const SwapTools& tools) {
  // launchd starts the new build as its job again. -k, because launchd may
  // have started the job on its own meanwhile (its interval), possibly still
  // with the old build: that one is ended and the new one started in its
  // place; when the job is not running, -k changes nothing. The same -k ends
  // a new build that gave no sign of life when the previous one is started.
  const std::string start =
      handover.launchd_service.empty()
          ? std::string(
                "  \"$exe\" &\n"
                "  started=$!\n")
          : fmt::format(
                "  if ! {launchctl} kickstart -k {service}; then\n"
                "    echo \"Tavrine update: launchd did not start \"{service} >&2\n"
                "  fi\n",
                fmt::arg("service", shellQuote(handover.launchd_service)),
                fmt::arg("launchctl", shellQuote(tools.launchctl)));
  // Every name is quoted once, into a variable; every tool is called by its
  // absolute path. The functions come first so that the steps read in order:
  // wait for the old agent, swap, clean up, start, await the sign of life.
  // Only bash 3.2's features: macOS has no other /bin/bash.
  return fmt::format(
      "#!/bin/bash\n"
      "agent={agent}\n"
      "exe={exe}\n"
      "backup={backup}\n"
      "swap={swap}\n"
      "download={download}\n"
      "directory={directory}\n"
      "ready={ready}\n"
      "started=\n"
      "\n"
      "# True once the old agent has ended: it alone holds the write end of the\n"
      "# pipe on descriptor 3, so the end of the pipe comes when its process is\n"
      "# gone, whatever becomes of its id. False after $1 seconds.\n"
      "agent_ended() {{\n"
      "  local status\n"
      "  while :; do\n"
      "    read -r -t \"$1\" -u 3 _\n"
      "    status=$?\n"
      "    if [ \"$status\" -ne 0 ]; then break; fi\n"
      "  done\n"
      "  [ \"$status\" -le 128 ]\n"
      "}}\n"
      "\n"
      "# True once process $1 has ended; false when it still runs after $2\n"
      "# tenths of a second.\n"
      "wait_for() {{\n"
      "  local tenths=0\n"
      "  while kill -0 \"$1\" 2>/dev/null; do\n"
      "    if (( tenths >= $2 )); then return 1; fi\n"
      "    {sleep} 0.1\n"
      "    tenths=$((tenths + 1))\n"
      "  done\n"
      "}}\n"
      "\n"
      "# Frees the name $1 of anything but a regular file: a folder there would\n"
      "# take what is moved to that name into it. False when that fails.\n"
      "clear_name() {{\n"
      "  if [ -L \"$1\" ]; then {rm} -f \"$1\"; elif [ -e \"$1\" ] && [ ! -f \"$1\" ]; then\n"
      "    {rm} -rf \"$1\"\n"
      "  fi\n"
      "  [ ! -L \"$1\" ] && {{ [ ! -e \"$1\" ] || [ -f \"$1\" ]; }}\n"
      "}}\n"
      "\n"
      "# Copies $1 to the temporary name beside the executable.\n"
      "stage_copy() {{\n"
      "  {rm} -f \"$swap\" && {cp} -p \"$1\" \"$swap\" && return 0\n"
      "  {rm} -f \"$swap\"\n"
      "  return 1\n"
      "}}\n"
      "\n"
      "# Renames the staged copy to $1: $1 is replaced whole or not at all,\n"
      "# and a link there is replaced, never followed.\n"
      "put_in_place() {{\n"
      "  if [ -L \"$1\" ]; then {rm} -f \"$1\"; fi\n"
      "  {mv} -f \"$swap\" \"$1\"\n"
      "}}\n"
      "\n"
      "# True when the executable answers \"help\" with status 0 within ten\n"
      "# seconds.\n"
      "runs() {{\n"
      "  \"$exe\" help </dev/null >/dev/null 2>&1 &\n"
      "  local check=$!\n"
      "  if ! wait_for \"$check\" 100; then\n"
      "    kill -KILL \"$check\" 2>/dev/null\n"
      "    wait \"$check\"\n"
      "    return 1\n"
      "  fi\n"
      "  wait \"$check\"\n"
      "}}\n"
      "\n"
      "# The backup back in place; when there is no room for a copy, the backup\n"
      "# itself.\n"
      "restore() {{\n"
      "  {{ stage_copy \"$backup\" && put_in_place \"$exe\"; }} || {mv} -f \"$backup\" \"$exe\"\n"
      "}}\n"
      "\n"
      "start_agent() {{\n"
      "{start}"
      "}}\n"
      "\n"
      "# True once the build just started has written its sign of life, within\n"
      "# $1 seconds; false at once when a build started here has ended without\n"
      "# one (it may have written it just before it ended: looked at again).\n"
      "became_ready() {{\n"
      "  local since=$SECONDS\n"
      "  while [ ! -s \"$ready\" ]; do\n"
      "    if [ -n \"$started\" ] && ! kill -0 \"$started\" 2>/dev/null; then\n"
      "      [ -s \"$ready\" ]\n"
      "      return\n"
      "    fi\n"
      "    if (( SECONDS - since >= $1 )); then return 1; fi\n"
      "    {sleep} 0.1\n"
      "  done\n"
      "}}\n"
      "\n"
      "# Ends the build started here (under launchd, the next kickstart -k does).\n"
      "stop_started() {{\n"
      "  if [ -z \"$started\" ]; then return 0; fi\n"
      "  kill -TERM \"$started\" 2>/dev/null\n"
      "  wait_for \"$started\" 50 || kill -KILL \"$started\" 2>/dev/null\n"
      "  wait \"$started\" 2>/dev/null\n"
      "  started=\n"
      "}}\n"
      "\n"
      "# Never under a running agent: it still holds the one-agent lock, and an\n"
      "# agent that will not end is left as it is rather than given a twin.\n"
      "if ! agent_ended {agent_wait}; then\n"
      "  echo \"Tavrine update not installed: the agent (process $agent) still runs\" >&2\n"
      "  {rm} -f \"$download\" \"$0\"\n"
      "  {rmdir} \"$directory\"\n"
      "  exit 1\n"
      "fi\n"
      "exec 3<&-\n"
      "swapped=\n"
      "if clear_name \"$swap\" && clear_name \"$backup\" && stage_copy \"$exe\" &&\n"
      "   put_in_place \"$backup\"; then\n"
      "  if {{ stage_copy \"$download\" && {chmod} 0755 \"$swap\" && put_in_place \"$exe\" &&\n"
      "       runs; }}; then\n"
      "    swapped=1\n"
      "  else\n"
      "    restore\n"
      "  fi\n"
      "fi\n"
      "{rm} -f \"$swap\" \"$download\" \"$0\"\n"
      "{rmdir} \"$directory\"\n"
      "if [ -n \"$ready\" ]; then {rm} -f \"$ready\"; fi\n"
      "start_agent\n"
      "if [ -n \"$swapped\" ] && [ -n \"$ready\" ] && ! became_ready {ready_wait}; then\n"
      "  echo \"Tavrine update: the new build gave no sign of life; the previous build is back\" "
      ">&2\n"
      "  stop_started\n"
      "  restore\n"
      "  {rm} -f \"$swap\"\n"
      "  start_agent\n"
      "fi\n",
      fmt::arg("agent", handover.agent), fmt::arg("exe", shellQuote(exe)),
      fmt::arg("backup", shellQuote(fmt::format("{}.backup", exe))),
      fmt::arg("swap", shellQuote(fmt::format("{}.update-swap", exe))),
      fmt::arg("download", shellQuote(download)), fmt::arg("directory", shellQuote(directory)),
      fmt::arg("ready", shellQuote(handover.ready_file)),
      fmt::arg("agent_wait", handover.agent_wait_seconds),
      fmt::arg("ready_wait", handover.ready_wait_seconds),
      fmt::arg("sleep", shellQuote(tools.sleep)), fmt::arg("cp", shellQuote(tools.cp)),
      fmt::arg("mv", shellQuote(tools.mv)), fmt::arg("chmod", shellQuote(tools.chmod)),
      fmt::arg("rm", shellQuote(tools.rm)), fmt::arg("rmdir", shellQuote(tools.rmdir)),
      fmt::arg("start", start));
}

Handover thisAgent() {
  Handover handover;
  handover.agent = ::getpid();
  if (const auto home = environment::find("HOME")) {
    handover.ready_file = readyFilePath(*home).value_or("");
  }
  if (environment::find("XPC_SERVICE_NAME") == TAVRINE_LAUNCHD_LABEL) {
    handover.launchd_service = fmt::format("gui/{}/{}", ::getuid(), TAVRINE_LAUNCHD_LABEL);
  }
  return handover;
}

std::optional<std::string> readyFilePath(std::string_view home) {
  if (!environment::isUsableHome(home)) return std::nullopt;
  return fmt::format("{}/Library/Application Support/Tavrine/agent.ready", home);
}

void signalReady() noexcept {
  try {
    const auto home = environment::find("HOME");
    const auto path = home ? readyFilePath(*home) : std::nullopt;
    if (!path) return;
    const UniqueFd fd(
        ::open(path->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd) (void)fs_util::writeAll(fd.get(), fmt::format("{}\n", ::getpid()));
  } catch (const std::bad_alloc&) {
  }
}

Result<void> checkReplaceable(const std::string& exe) {
  const size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return fail(Error::FileNotFound);
  const std::string folder = slash == 0 ? "/" : exe.substr(0, slash);
  // The effective user's rights, which are the ones the script will use.
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return fail(errorFromErrno(errno));
  }
  struct stat folder_info {};
  struct stat exe_info {};
  if (::stat(folder.c_str(), &folder_info) != 0 || ::lstat(exe.c_str(), &exe_info) != 0) {
    return fail(errorFromErrno(errno));
  }
  const uid_t self = ::geteuid();
  if ((folder_info.st_mode & S_ISVTX) != 0 && self != 0 && exe_info.st_uid != self &&
      folder_info.st_uid != self) {
    return fail(Error::AccessDenied);
  }
  return {};
}

std::string temporaryDirectory() {
  std::string directory(environment::find("TMPDIR").value_or(""));
  while (directory.size() > 1 && directory.ends_with('/')) directory.pop_back();
  if (!directory.starts_with('/')) return kFallbackDirectory;
  return directory;
}

StagedUpdate::StagedUpdate(std::string directory) : directory_(std::move(directory)) {
  pending().add(directory_);
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

void StagedUpdate::handOver() noexcept {
  pending().drop(directory_);
  directory_.clear();
}

void StagedUpdate::remove() noexcept {
  if (directory_.empty()) return;
  removeStaged(directory_);
  pending().drop(directory_);
  directory_.clear();
}

UpdateOutcome stage(std::string_view body, const std::string& exe, const Handover& handover,
                    const SwapTools& tools) {
  try {
    // A TMPDIR that does not exist or cannot be written is no reason to
    // give up: /tmp is what it stands in for.
    auto directory = makePrivateDirectory(temporaryDirectory());
    if (!directory) directory = makePrivateDirectory(kFallbackDirectory);
    if (!directory) return failure("Could not create temporary file");
    UpdateOutcome outcome;
    outcome.staged = StagedUpdate(std::move(*directory));
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
      text = scriptText(exe, staged.downloadPath(), staged.directory(), handover, tools);
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

  // The script's descriptor 3: the read end of a pipe whose write end stays
  // here, close-on-exec, so that no other process keeps it open.
  auto pipe = makePipe(O_CLOEXEC);
  if (!pipe) {
    ::posix_spawnattr_destroy(&attributes);
    return fail(pipe.error());
  }
  // Above 3, so that dup2 onto 3 always makes a new descriptor, one without
  // close-on-exec.
  const UniqueFd read_end(::fcntl(pipe->first.get(), F_DUPFD_CLOEXEC, 10));
  posix_spawn_file_actions_t actions;
  if (!read_end || ::posix_spawn_file_actions_init(&actions) != 0) {
    ::posix_spawnattr_destroy(&attributes);
    return fail(Error::SystemResources);
  }
  ::posix_spawn_file_actions_adddup2(&actions, read_end.get(), kAgentPipeFd);

  std::string interpreter = "/bin/bash";
  std::string argument = script;
  char* argv[] = {interpreter.data(), argument.data(), nullptr};
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, interpreter.c_str(), &actions, &attributes, argv,
                                  environment::processBlock());
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  if (error != 0) return fail(errorFromErrno(error));
  // Held until this process ends, however it ends: the kernel closes it then.
  immortal<AgentEnd>().write_end = std::move(pipe->second);
  // Not waited for: the agent ends within moments, and the script's first
  // step is to wait for that, so it is never left a zombie for long.
  return {};
}

}  // namespace update_install
