#include "tavrine/base/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

Result<std::pair<UniqueFd, UniqueFd>> makePipe(int flags) noexcept {
  if ((flags & ~(O_CLOEXEC | O_NONBLOCK)) != 0) return fail(Error::InvalidArgument);
  // pipe2 sets the flags as it creates the ends, so a child that another
  // thread starts at this moment cannot inherit them.
  int fds[2];
  if (::pipe2(fds, flags) != 0) return fail(errorFromErrno(errno));
  return std::pair<UniqueFd, UniqueFd>(UniqueFd(fds[0]), UniqueFd(fds[1]));
}
