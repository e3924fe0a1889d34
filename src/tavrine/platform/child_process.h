#pragma once

#include "tavrine/base/error.h"
#include "tavrine/base/unique_fd.h"
#include "tavrine/platform/arguments.h"

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace platform {

// How a reaped child ended.
struct ExitStatus {
  enum class Kind { exited, signaled, stopped, unknown };
  Kind kind = Kind::unknown;
  int code = 0;  // exit status for `exited`, signal number for `signaled` and `stopped`

  [[nodiscard]] bool succeeded() const noexcept { return kind == Kind::exited && code == 0; }
};

using Deadline = std::chrono::steady_clock::time_point;

// What an unreaped child is doing, as far as waiting can tell.
enum class ChildState { running, ended, stopped };

// How soon a wait first looks whether the child has been stopped: a stop
// wakes no descriptor, and a stopped tool (one that read from the terminal
// while in its own process group, say) would otherwise sit out the whole time
// limit. Each later look comes twice as late, up to kLongestStopCheck, so that
// a tool that runs for seconds (the update listing waits on the network)
// costs a handful of wake-ups, not ten a second.
inline constexpr std::chrono::milliseconds kStopCheckInterval{100};
inline constexpr std::chrono::milliseconds kLongestStopCheck{3200};

// The growing pause between a wait's looks for a stopped child.
class StopCheckPace {
 public:
  // The poll() timeout for the next wait: the current pause or what is left
  // until `deadline`, whichever is shorter.
  [[nodiscard]] int timeoutMs(Deadline deadline) const noexcept;
  // After a wait that timed out: the next pause is twice as long.
  void lengthen() noexcept { pause_ = std::min(pause_ * 2, kLongestStopCheck); }

 private:
  std::chrono::milliseconds pause_ = kStopCheckInterval;
};

// Milliseconds left until `deadline` for poll(): rounded up so that a wait
// never ends before the deadline, 0 once it has passed, capped at INT_MAX.
[[nodiscard]] int pollTimeoutMs(Deadline deadline) noexcept;

// How many children may be alive at once: each is recorded for
// killLiveChildren(), and a spawn beyond this fails with SystemResources.
inline constexpr int kLiveChildSlots = 64;

// One child started in its own process group, with its standard output on a
// close-on-exec pipe and its standard error on the null device, and with
// SIGINT, SIGTERM, SIGPIPE and SIGHUP at their defaults and no signal blocked,
// whatever this process has set. Whoever holds the object owns the child:
// unless wait() has reaped it, the destructor kills the whole group with
// SIGKILL and reaps the child, so no path can leave a zombie, a stray helper
// or a descriptor behind. Until it is reaped its group is also on the
// process-wide record that killLiveChildren() uses, for the ways out that run
// no destructor.
class ChildProcess {
 public:
  // Where the child's standard output and error go: a pipe and the null
  // device (a tool whose answer is read); both into the one pipe (a tool
  // that gives its answer on standard error); or this process's own (a
  // program that talks to the user, such as the browser opener).
  enum class Streams { capture_output, capture_output_and_error, inherit };

  // Starts the program at `path` (used as given, no lookup) with `argv`,
  // passed unchanged. The environment, working directory and standard input
  // are the caller's, and with Streams::inherit standard output and error as
  // well (output() is then -1). Fails with the start or execution error.
  [[nodiscard]] static Result<ChildProcess> spawn(const std::string& path, Arguments argv,
                                                  Streams streams = Streams::capture_output);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  [[nodiscard]] pid_t pid() const noexcept { return pid_; }
  // The read end of the child's standard output; -1 when it is inherited.
  [[nodiscard]] int output() const noexcept { return output_.get(); }

  // Waits until the child has ended and reaps it. When `deadline` passes
  // first, the group is killed and reaped and the result is Timeout; when a
  // stop is requested first (platform::requestStop), the same, and the result
  // is Canceled. A stopped child is killed and reaped as well; its status
  // says `stopped`.
  [[nodiscard]] Result<ExitStatus> wait(Deadline deadline);

  // Like wait(), except that a child still running when `deadline` passes is
  // left running and unreaped. True when the child has ended (and is reaped,
  // whatever its status), false when it runs on.
  [[nodiscard]] Result<bool> waitAtMost(Deadline deadline);

  // Whether the child is stopped right now (it stays unreaped).
  [[nodiscard]] bool stopped() const noexcept;

  // Kills the child's group with SIGKILL and reaps the child (if not yet
  // reaped), and closes the output pipe.
  void terminate() noexcept;

 private:
  ChildProcess(pid_t pid, UniqueFd output, int slot) noexcept
      : pid_(pid), output_(std::move(output)), slot_(slot) {}

  // Takes the child off the live record; called before it can be reaped, so
  // that killLiveChildren() never aims at a reused process id.
  void forget() noexcept;
  // What the child's slot on the record holds meanwhile: its pid, or a
  // reservation that no kill aims at.
  void markOnRecord(pid_t value) noexcept;

  pid_t pid_ = -1;  // also the process group id; -1 once reaped
  UniqueFd output_;
  int slot_ = -1;  // its place on the live record, -1 when off it
};

// Lets `child` run on without anyone waiting for it: a detached thread reaps
// it once it ends, so it never stays a zombie, and ends its group only when
// a stop is requested (as wait() does). Until then it stays on the record of
// killLiveChildren(). When no thread can be started, the child is ended at
// once, as by its destructor.
void reapInBackground(ChildProcess child) noexcept;

// Kills the process group of every child that a ChildProcess holds and has
// not reaped, with SIGKILL, without reaping them. For the ways out of the
// process that run no destructor (an exit handler, _exit, a restart by exec).
// Request the stop (platform::requestStop) before: a child that another
// thread starts meanwhile is then killed by its own spawn. Async-signal-safe
// and lock-free; any thread.
void killLiveChildren() noexcept;

// Waits until the unreaped child `pid` has ended or stopped (without reaping
// it), or `deadline` passes or a stop is requested (then `running`). Each OS
// supplies its own.
[[nodiscard]] ChildState awaitChange(pid_t pid, Deadline deadline) noexcept;

// The portable fallback of awaitChange: asks waitid() at growing intervals.
[[nodiscard]] ChildState awaitChangeByPolling(pid_t pid, Deadline deadline) noexcept;

// The state of the unreaped child `pid`, without reaping it. A child that
// cannot be waited for any more counts as ended; waitpid() will say why.
[[nodiscard]] ChildState peekState(pid_t pid) noexcept;

}  // namespace platform
