#include "tavrine/platform/child_process.h"

#include "tavrine/base/immortal.h"
#include "tavrine/platform/child_process_os.h"
#include "tavrine/platform/stop_request.h"
#include "tavrine/platform/thread.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <thread>
#include <utility>

extern char** environ;

namespace platform {

namespace {

Result<void> check(int rc) noexcept {
  if (rc != 0) return fail(errorFromErrno(rc));
  return {};
}

// The file actions of the last child this thread started, kept for the next
// one. They name the pipe's write end by number, and as descriptors are
// handed out lowest first, one command after another gets the same number:
// most children start with the actions as they stand, without building them
// again (each action costs the C library an allocation and a system call).
class KeptFileActions {
 public:
  KeptFileActions() = default;
  ~KeptFileActions() { drop(); }
  KeptFileActions(const KeptFileActions&) = delete;
  KeptFileActions& operator=(const KeptFileActions&) = delete;

  // The actions for a child whose output goes to `write_end` (-1 when it
  // inherits the caller's).
  Result<const posix_spawn_file_actions_t*> forChild(int write_end,
                                                     ChildProcess::Streams streams) {
    if (ready_ && write_end == write_end_ && streams == streams_) return &actions_;
    drop();
    if (auto ok = check(::posix_spawn_file_actions_init(&actions_)); !ok) return fail(ok.error());
    ready_ = true;
    if (auto built = build(write_end, streams); !built) {
      drop();
      return fail(built.error());
    }
    write_end_ = write_end;
    streams_ = streams;
    return &actions_;
  }

 private:
  void drop() noexcept {
    if (ready_) ::posix_spawn_file_actions_destroy(&actions_);
    ready_ = false;
  }

  // Standard error goes to the null device unless it is read with the
  // output: a chatty tool can neither stall on a full pipe nor write onto the
  // agent's console.
  Result<void> build(int write_end, ChildProcess::Streams streams) noexcept {
    const bool capture = streams != ChildProcess::Streams::inherit;
    if (capture) {
      if (auto ok = check(::posix_spawn_file_actions_adddup2(&actions_, write_end, STDOUT_FILENO));
          !ok) {
        return ok;
      }
      const auto error_action =
          streams == ChildProcess::Streams::capture_output_and_error
              ? ::posix_spawn_file_actions_adddup2(&actions_, write_end, STDERR_FILENO)
              : ::posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY,
                                                   0);
      if (auto ok = check(error_action); !ok) return ok;
    }
    return prepareSpawn(actions_, !capture);
  }

  posix_spawn_file_actions_t actions_{};
  bool ready_ = false;
  int write_end_ = -1;
  ChildProcess::Streams streams_ = ChildProcess::Streams::inherit;
};

// The attributes are the same for every child, so they are made once and
// only read from then on (posix_spawn takes them as const). A child goes into
// a process group of its own, so that a timeout can take down the helpers a
// tool starts as well; they could otherwise hold the pipe open. It starts
// with a clean signal state, whatever the spawning thread has blocked or the
// agent has set up: an ignored disposition survives exec, and the agent
// ignores the termination signals where it routes them elsewhere.
class SpawnAttributes {
 public:
  SpawnAttributes() noexcept {
    rc_ = ::posix_spawnattr_init(&attributes_);
    if (rc_ != 0) return;
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int signal_number : {SIGINT, SIGTERM, SIGPIPE, SIGHUP}) {
      sigaddset(&defaults, signal_number);
    }
    const short flags = static_cast<short>(POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                           POSIX_SPAWN_SETSIGDEF | osSpawnFlags());
    for (const int rc : {::posix_spawnattr_setpgroup(&attributes_, 0),
                         ::posix_spawnattr_setsigmask(&attributes_, &none),
                         ::posix_spawnattr_setsigdefault(&attributes_, &defaults),
                         ::posix_spawnattr_setflags(&attributes_, flags)}) {
      if (rc != 0 && rc_ == 0) rc_ = rc;
    }
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  [[nodiscard]] int initError() const noexcept { return rc_; }
  const posix_spawnattr_t& get() const noexcept { return attributes_; }

 private:
  posix_spawnattr_t attributes_;
  int rc_;
};

// A process that has closed its standard descriptors could be handed 0, 1 or
// 2 for the pipe; the file actions would then overwrite it in the child.
Result<void> keepAboveStandardDescriptors(UniqueFd& fd) noexcept {
  if (fd.get() > STDERR_FILENO) return {};
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return fail(errorFromErrno(errno));
  fd.reset(moved);
  return {};
}

// The live record: a slot per child that may be alive at once, holding 0
// when free, kReservedSlot while a spawn is under way, else the pid (and
// process group id) of a child not yet reaped. Atomics only, so that an exit
// handler or a signal handler can read it whatever another thread is doing.
constexpr pid_t kReservedSlot = -1;
std::atomic<pid_t> live_children[kLiveChildSlots];
static_assert(std::atomic<pid_t>::is_always_lock_free);

// A child already gone (its output has usually ended with it) needs no
// process descriptor or event queue to be waited for.
ChildState awaitEnd(pid_t pid, Deadline deadline) noexcept {
  const ChildState state = peekState(pid);
  return state != ChildState::running ? state : awaitChange(pid, deadline);
}

int reserveSlot() noexcept {
  for (int slot = 0; slot < kLiveChildSlots; ++slot) {
    pid_t expected = 0;
    if (live_children[slot].compare_exchange_strong(expected, kReservedSlot)) return slot;
  }
  return -1;
}

}  // namespace

void killLiveChildren() noexcept {
  for (std::atomic<pid_t>& entry : live_children) {
    const pid_t pid = entry.load();
    if (pid <= 0) continue;
    // As in terminate(): the group, and the child itself in case it left it.
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
  }
}

int pollTimeoutMs(Deadline deadline) noexcept {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= Deadline::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int StopCheckPace::timeoutMs(Deadline deadline) const noexcept {
  return std::min(pollTimeoutMs(deadline), static_cast<int>(pause_.count()));
}

Result<ChildProcess> ChildProcess::spawn(const std::string& path, Arguments argv, Streams streams) {
  if (argv.empty()) return fail(Error::InvalidArgument);
  // The arguments copied once into one block, each terminated (a view need
  // not be); block and pointers on the stack for any ordinary command line.
  std::size_t block_size = 0;
  for (std::size_t i = 0; i < argv.size(); ++i) block_size += argv[i].size() + 1;
  constexpr std::size_t kInlineBlock = 512;
  constexpr std::size_t kInlineArguments = 15;
  char inline_block[kInlineBlock];
  char* inline_pointers[kInlineArguments + 1];
  std::vector<char> heap_block;
  std::vector<char*> heap_pointers;
  char* block = inline_block;
  char** args = inline_pointers;
  if (block_size > kInlineBlock) {
    heap_block.resize(block_size);
    block = heap_block.data();
  }
  if (argv.size() > kInlineArguments) {
    heap_pointers.resize(argv.size() + 1);
    args = heap_pointers.data();
  }
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string_view arg = argv[i];
    args[i] = block;
    block = std::copy(arg.begin(), arg.end(), block);
    *block++ = '\0';
  }
  args[argv.size()] = nullptr;

  const bool capture = streams != Streams::inherit;
  UniqueFd read_end;
  UniqueFd write_end;
  if (capture) {
    auto pipe = makePipe(O_CLOEXEC);
    if (!pipe) return fail(pipe.error());
    read_end = std::move(pipe->first);
    write_end = std::move(pipe->second);
    if (auto moved = keepAboveStandardDescriptors(read_end); !moved) return fail(moved.error());
    if (auto moved = keepAboveStandardDescriptors(write_end); !moved) return fail(moved.error());
  }

  thread_local KeptFileActions kept_actions;
  auto actions = kept_actions.forChild(capture ? write_end.get() : -1, streams);
  if (!actions) return fail(actions.error());
  const SpawnAttributes& attributes = immortal<SpawnAttributes>();
  if (attributes.initError() != 0) return fail(errorFromErrno(attributes.initError()));

  // The slot is taken before the child exists, so that no child can ever be
  // alive without being on the record.
  const int slot = reserveSlot();
  if (slot < 0) return fail(Error::SystemResources);
  pid_t pid = -1;
  // An execution failure (no such file, no permission) comes back here as the
  // return value; the C library has already reaped the failed child.
  const int rc =
      ::posix_spawn(&pid, path.c_str(), *actions, &attributes.get(), args, environ);
  if (rc != 0) {
    live_children[slot].store(0);
    return fail(errorFromErrno(rc));
  }
  live_children[slot].store(pid);
  // A stop requested meanwhile may have read the record before the pid was
  // on it (the flag is set before the record is read, the pid stored before
  // the flag is read here): the child must not outlive the process.
  if (stopRequested()) ::kill(-pid, SIGKILL);
  return ChildProcess(pid, std::move(read_end), slot);
  // write_end (if any) closes here: from now on only the child holds the
  // pipe open.
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      output_(std::move(other.output_)),
      slot_(std::exchange(other.slot_, -1)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    terminate();
    pid_ = std::exchange(other.pid_, -1);
    output_ = std::move(other.output_);
    slot_ = std::exchange(other.slot_, -1);
  }
  return *this;
}

void ChildProcess::forget() noexcept {
  if (slot_ < 0) return;
  live_children[slot_].store(0);
  slot_ = -1;
}

void ChildProcess::markOnRecord(pid_t value) noexcept {
  if (slot_ >= 0) live_children[slot_].store(value);
}

ChildProcess::~ChildProcess() { terminate(); }

void ChildProcess::terminate() noexcept {
  if (pid_ > 0) {
    // The unreaped leader keeps the group id from being reused, so the group
    // kill cannot reach anyone else. The direct kill covers a child that left
    // the group.
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    forget();
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  output_.reset();
}

Result<ExitStatus> ChildProcess::wait(Deadline deadline) {
  if (pid_ <= 0) return fail(Error::InvalidArgument);
  for (;;) {
    // Off the record (its slot kept) before the call that may reap it: once
    // reaped, the id may be reused. A child whose output has ended has
    // usually ended too, and this one call reaps it.
    markOnRecord(kReservedSlot);
    int status = 0;
    pid_t reaped;
    do {
      reaped = ::waitpid(pid_, &status, WNOHANG | WUNTRACED);
    } while (reaped < 0 && errno == EINTR);
    if (reaped < 0) {
      // Someone else reaped it: the id may already be reused, so no kill.
      const int error = errno;
      forget();
      pid_ = -1;
      output_.reset();
      return fail(errorFromErrno(error));
    }
    if (reaped == 0) {
      // Still running: back on the record while it is waited for.
      markOnRecord(pid_);
      if (awaitChange(pid_, deadline) == ChildState::running) {
        terminate();
        return fail(stopRequested() ? Error::Canceled : Error::Timeout);
      }
      continue;
    }
    if (WIFSTOPPED(status)) {
      markOnRecord(pid_);
      terminate();
      return ExitStatus{ExitStatus::Kind::stopped, WSTOPSIG(status)};
    }
    forget();
    pid_ = -1;
    if (WIFEXITED(status)) return ExitStatus{ExitStatus::Kind::exited, WEXITSTATUS(status)};
    if (WIFSIGNALED(status)) return ExitStatus{ExitStatus::Kind::signaled, WTERMSIG(status)};
    return ExitStatus{};
  }
}

Result<bool> ChildProcess::waitAtMost(Deadline deadline) {
  if (pid_ <= 0) return fail(Error::InvalidArgument);
  if (awaitEnd(pid_, deadline) == ChildState::running) {
    if (!stopRequested()) return false;
    terminate();
    return fail(Error::Canceled);
  }
  auto status = wait(Deadline::max());  // it has ended or stopped: no wait
  if (!status) return fail(status.error());
  return true;
}

void reapInBackground(ChildProcess child) noexcept {
  try {
    // std::function wants a copyable body; the child is moved into the
    // thread through a shared owner.
    auto owned = std::make_shared<ChildProcess>(std::move(child));
    (void)startDetachedThread([owned] { (void)owned->wait(Deadline::max()); });
  } catch (const std::bad_alloc&) {
    // The child, wherever it is by now, is ended by its destructor.
  }
}

bool ChildProcess::stopped() const noexcept {
  return pid_ > 0 && peekState(pid_) == ChildState::stopped;
}

ChildState peekState(pid_t pid) noexcept {
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WSTOPPED | WNOHANG | WNOWAIT) != 0) {
    return ChildState::ended;
  }
  if (info.si_pid == 0) return ChildState::running;
  return info.si_code == CLD_STOPPED || info.si_code == CLD_TRAPPED ? ChildState::stopped
                                                                    : ChildState::ended;
}

ChildState awaitChangeByPolling(pid_t pid, Deadline deadline) noexcept {
  auto interval = std::chrono::microseconds(50);
  for (;;) {
    const ChildState state = peekState(pid);
    if (state != ChildState::running) return state;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline || stopRequested()) return ChildState::running;
    std::this_thread::sleep_for(std::min<Deadline::duration>(interval, deadline - now));
    interval = std::min(interval * 2, std::chrono::microseconds(10000));
  }
}

}  // namespace platform
