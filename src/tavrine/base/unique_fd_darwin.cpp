#include "tavrine/base/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

Result<void> applyFlags(const UniqueFd& fd, int flags) noexcept {
  if ((flags & O_CLOEXEC) != 0 && ::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) {
    return fail(errorFromErrno(errno));
  }
  if ((flags & O_NONBLOCK) != 0) {
    const int status = ::fcntl(fd.get(), F_GETFL);
    if (status < 0 || ::fcntl(fd.get(), F_SETFL, status | O_NONBLOCK) != 0) {
      return fail(errorFromErrno(errno));
    }
  }
  return {};
}

}  // namespace

Result<std::pair<UniqueFd, UniqueFd>> makePipe(int flags) noexcept {
  if ((flags & ~(O_CLOEXEC | O_NONBLOCK)) != 0) return fail(Error::InvalidArgument);
  // There is no pipe2() here, so the flags follow with fcntl. The short
  // window before FD_CLOEXEC is set does not reach the command runner's
  // children, which are started with POSIX_SPAWN_CLOEXEC_DEFAULT.
  int fds[2];
  if (::pipe(fds) != 0) return fail(errorFromErrno(errno));
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);
  if (auto ok = applyFlags(read_end, flags); !ok) return fail(ok.error());
  if (auto ok = applyFlags(write_end, flags); !ok) return fail(ok.error());
  return std::pair<UniqueFd, UniqueFd>(std::move(read_end), std::move(write_end));
}
