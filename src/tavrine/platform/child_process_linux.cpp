#include "tavrine/platform/child_process.h"
#include "tavrine/platform/child_process_os.h"
#include "tavrine/platform/stop_request.h"

#include <poll.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {

Result<void> prepareSpawn(posix_spawnattr_t&, posix_spawn_file_actions_t&, short&,
                          bool) noexcept {
  // Every descriptor this program creates is close-on-exec from birth, so
  // nothing beyond the file actions is needed here.
  return {};
}

ChildState awaitChange(pid_t pid, Deadline deadline) noexcept {
  // A child closes its output a moment before it becomes waitable; a few
  // yields usually cover that moment and spare the process descriptor.
  for (int attempt = 0; attempt < 64; ++attempt) {
    if (const ChildState state = peekState(pid); state != ChildState::running) return state;
    sched_yield();
  }
  // A process descriptor becomes readable when the child ends, which lets the
  // wait honour the deadline without a busy loop or a process-wide SIGCHLD
  // handler. Kernels or sandboxes without it get the polling fallback. The
  // stop descriptor wakes the wait when the process is asked to stop (poll
  // skips it when it is -1).
  const long raw = ::syscall(SYS_pidfd_open, pid, 0);
  if (raw < 0) return awaitChangeByPolling(pid, deadline);
  const UniqueFd pidfd(static_cast<int>(raw));  // close-on-exec by definition
  pollfd entries[2] = {{pidfd.get(), POLLIN, 0}, {stopWakeFd(), POLLIN, 0}};
  const int slice = static_cast<int>(kStopCheckInterval.count());
  for (;;) {
    const ChildState state = peekState(pid);
    if (state != ChildState::running) return state;
    if (std::chrono::steady_clock::now() >= deadline || stopRequested()) {
      return ChildState::running;
    }
    const int ready = ::poll(entries, 2, std::min(pollTimeoutMs(deadline), slice));
    if (ready > 0 && entries[0].revents != 0) return ChildState::ended;
    if (ready < 0 && errno != EINTR) return awaitChangeByPolling(pid, deadline);
  }
}

}  // namespace platform
