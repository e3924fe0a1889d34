#include "platform/child_process.h"
#include "platform/child_process_os.h"

#include <fcntl.h>
#include <sys/event.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace platform {

Result<std::pair<UniqueFd, UniqueFd>> makeOutputPipe() noexcept {
  // There is no pipe2() here. The short window before FD_CLOEXEC is set does
  // not matter to our own children, which are started with
  // POSIX_SPAWN_CLOEXEC_DEFAULT (see prepareSpawn).
  int fds[2];
  if (::pipe(fds) != 0) return fail(errorFromErrno(errno));
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);
  if (::fcntl(read_end.get(), F_SETFD, FD_CLOEXEC) != 0 ||
      ::fcntl(write_end.get(), F_SETFD, FD_CLOEXEC) != 0) {
    return fail(errorFromErrno(errno));
  }
  return std::pair<UniqueFd, UniqueFd>(std::move(read_end), std::move(write_end));
}

Result<void> prepareSpawn(posix_spawnattr_t&, posix_spawn_file_actions_t& actions,
                          short& flags) noexcept {
  // The child gets standard input and what the file actions set up, nothing
  // else, whatever another thread has open at that moment.
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  const int rc = ::posix_spawn_file_actions_addinherit_np(&actions, STDIN_FILENO);
  if (rc != 0) return fail(errorFromErrno(rc));
  return {};
}

bool awaitExit(pid_t pid, Deadline deadline) noexcept {
  const int raw = ::kqueue();
  if (raw < 0) return awaitExitByPolling(pid, deadline);
  const UniqueFd queue(raw);
  struct kevent change;
  EV_SET(&change, pid, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
  if (::kevent(queue.get(), &change, 1, nullptr, 0, nullptr) != 0) {
    if (errno == ESRCH) return true;  // already ended
    return awaitExitByPolling(pid, deadline);
  }
  // The child may have ended just before the registration took hold.
  if (hasExited(pid)) return true;
  for (;;) {
    const int ms = pollTimeoutMs(deadline);
    const timespec wait{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    struct kevent event;
    const int ready = ::kevent(queue.get(), nullptr, 0, &event, 1, &wait);
    if (ready > 0) return true;
    if (ready == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      continue;
    }
    if (errno != EINTR) return awaitExitByPolling(pid, deadline);
  }
}

}  // namespace platform
