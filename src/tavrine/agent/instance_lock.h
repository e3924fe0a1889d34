#pragma once

#include "tavrine/base/error.h"
#include "tavrine/base/unique_fd.h"

#include <optional>
#include <string>
#include <string_view>

namespace agent {

// One agent per user: an exclusive lock on a file in the user's Application
// Support folder, held for as long as the object lives (or the process, as
// the kernel lets go of it when the process ends, however it ends).
class InstanceLock {
 public:
  // The lock file for a given HOME value, or nothing when HOME is relative.
  [[nodiscard]] static std::optional<std::string> pathFor(std::string_view home);

  // Takes the lock at `path` without waiting, creating the file (0600) and
  // its folder (0700) when missing. WouldBlock when another process holds it;
  // otherwise the name of the failing step. The descriptor is close-on-exec,
  // so no tool or script the agent starts can keep the lock alive.
  [[nodiscard]] static Result<InstanceLock> tryTake(const std::string& path);

 private:
  explicit InstanceLock(UniqueFd fd) noexcept : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

}  // namespace agent
