#include "tavrine/platform/child_process.h"
#include "tavrine/platform/child_process_os.h"
#include "tavrine/platform/stop_request.h"

#include <sys/event.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace platform {

// The child gets standard input (and, when asked, standard output and
// error) and what the file actions set up, nothing else, whatever another
// thread has open at that moment.
short osSpawnFlags() noexcept { return POSIX_SPAWN_CLOEXEC_DEFAULT; }

Result<void> prepareSpawn(posix_spawn_file_actions_t& actions, bool inherit_output) noexcept {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fd != STDIN_FILENO && !inherit_output) break;
    const int rc = ::posix_spawn_file_actions_addinherit_np(&actions, fd);
    if (rc != 0) return fail(errorFromErrno(rc));
  }
  return {};
}

ChildState awaitChange(pid_t pid, Deadline deadline) noexcept {
  const int raw = ::kqueue();
  if (raw < 0) return awaitChangeByPolling(pid, deadline);
  const UniqueFd queue(raw);
  struct kevent change;
  EV_SET(&change, pid, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
  if (::kevent(queue.get(), &change, 1, nullptr, 0, nullptr) != 0) {
    if (errno == ESRCH) return ChildState::ended;
    return awaitChangeByPolling(pid, deadline);
  }
  // The stop descriptor wakes the wait when the process is asked to stop.
  // Without it the flag is still seen at the next slice.
  if (const int stop_fd = stopWakeFd(); stop_fd >= 0) {
    struct kevent stop_change;
    EV_SET(&stop_change, static_cast<uintptr_t>(stop_fd), EVFILT_READ, EV_ADD, 0, 0, nullptr);
    [[maybe_unused]] const int added = ::kevent(queue.get(), &stop_change, 1, nullptr, 0, nullptr);
  }
  StopCheckPace pace;
  for (;;) {
    // Also covers a child that ended just before the registration took hold.
    const ChildState state = peekState(pid);
    if (state != ChildState::running) return state;
    if (std::chrono::steady_clock::now() >= deadline || stopRequested()) {
      return ChildState::running;
    }
    const int ms = pace.timeoutMs(deadline);
    const timespec slice_time{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    struct kevent event;
    const int ready = ::kevent(queue.get(), nullptr, 0, &event, 1, &slice_time);
    if (ready > 0 && event.filter == EVFILT_PROC) return ChildState::ended;
    if (ready == 0) pace.lengthen();
    if (ready < 0 && errno != EINTR) return awaitChangeByPolling(pid, deadline);
  }
}

}  // namespace platform
