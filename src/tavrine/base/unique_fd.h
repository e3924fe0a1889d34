#pragma once

#include "tavrine/base/error.h"

#include <unistd.h>

#include <utility>

// Owns one file descriptor and closes it exactly once. close() is never
// retried on EINTR: the descriptor is gone either way, and a retry could close
// a descriptor another thread has just been given.
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the held descriptor (if any) and takes `fd` instead.
  void reset(int fd = -1) noexcept {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
  }

 private:
  int fd_ = -1;
};

// A new pipe as {read end, write end}. `flags` may combine O_CLOEXEC and
// O_NONBLOCK, which then hold for both ends; any other flag is
// InvalidArgument. On failure nothing stays open.
[[nodiscard]] Result<std::pair<UniqueFd, UniqueFd>> makePipe(int flags) noexcept;
