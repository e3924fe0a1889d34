#include "tavrine/platform/stop_request.h"

#include "tavrine/base/immortal.h"
#include "tavrine/base/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace platform {
namespace {

std::atomic<bool> stop_requested{false};
std::atomic<int> wake_write_fd{-1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

void writeWakeByte(int fd) noexcept {
  if (fd < 0) return;
  const int saved_errno = errno;
  const char byte = 1;
  // One byte is all a reader needs, and nobody drains it: a full pipe or a
  // second byte changes nothing.
  [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
  errno = saved_errno;
}

// Both ends live as long as the process: a signal handler may write at any
// moment, and waits on other threads may still poll the read end at exit.
struct WakePipe {
  WakePipe() noexcept {
    auto made = makePipe(O_CLOEXEC | O_NONBLOCK);
    if (!made) return;
    read_end = std::move(made->first);
    write_end = std::move(made->second);
    wake_write_fd.store(write_end.get());
    // A request that came before the pipe existed wrote nothing; the flag is
    // set before the descriptor is read in requestStop(), so one of the two
    // sides always writes.
    if (stop_requested.load()) writeWakeByte(write_end.get());
  }
  UniqueFd read_end;
  UniqueFd write_end;
};

}  // namespace

void requestStop() noexcept {
  stop_requested.store(true);
  writeWakeByte(wake_write_fd.load());
}

bool stopRequested() noexcept { return stop_requested.load(); }

int stopWakeFd() noexcept { return immortal<WakePipe>().read_end.get(); }

}  // namespace platform
