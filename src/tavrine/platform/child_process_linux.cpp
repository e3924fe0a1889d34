#include "tavrine/platform/child_process.h"
#include "tavrine/platform/child_process_os.h"
#include "tavrine/platform/stop_request.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

// Every descriptor this program creates is close-on-exec from birth, so
// nothing beyond the file actions is needed here.
short osSpawnFlags() noexcept { return 0; }

Result<void> prepareSpawn(posix_spawn_file_actions_t&, bool) noexcept { return {}; }

ChildState awaitChange(pid_t pid, Deadline deadline) noexcept {
  // Called once the child's output has ended, which it usually does on its
  // way out: the wait blocks on a process descriptor, which becomes readable
  // when the child has ended, and honours the deadline without a busy loop or
  // a process-wide SIGCHLD handler. It wakes early only for a stop request
  // (the stop descriptor; poll skips it when it is -1) and, at growing
  // intervals, to see whether the child was stopped, which no descriptor
  // tells. Kernels or sandboxes without process descriptors get the polling
  // fallback.
  const long raw = ::syscall(SYS_pidfd_open, pid, 0);
  if (raw < 0) return awaitChangeByPolling(pid, deadline);
  const UniqueFd pidfd(static_cast<int>(raw));  // close-on-exec by definition
  pollfd entries[2] = {{pidfd.get(), POLLIN, 0}, {stopWakeFd(), POLLIN, 0}};
  StopCheckPace pace;
  for (;;) {
    const int ready = ::poll(entries, 2, pace.timeoutMs(deadline));
    if (ready > 0 && entries[0].revents != 0) return ChildState::ended;
    if (ready < 0 && errno != EINTR) return awaitChangeByPolling(pid, deadline);
    if (ready == 0) pace.lengthen();
    if (const ChildState state = peekState(pid); state != ChildState::running) return state;
    if (std::chrono::steady_clock::now() >= deadline || stopRequested()) {
      return ChildState::running;
    }
  }
}

}  // namespace platform
