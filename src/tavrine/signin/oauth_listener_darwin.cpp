#include "tavrine/signin/oauth_listener.h"

#include "tavrine/base/unique_fd.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>

namespace oauth::detail {
namespace {

// Children are started with POSIX_SPAWN_CLOEXEC_DEFAULT, so the moment
// between making a descriptor and marking it close-on-exec leaks nothing.
int withFlags(int fd) noexcept {
  if (fd < 0) return fd;
  UniqueFd owned(fd);
  const int on = 1;
  const int status_flags = ::fcntl(fd, F_GETFL);
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || status_flags < 0 ||
      ::fcntl(fd, F_SETFL, status_flags | O_NONBLOCK) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0) {
    const int error = errno;
    owned.reset();
    errno = error;
    return -1;
  }
  return owned.release();
}

}  // namespace

int openStreamSocket() noexcept { return withFlags(::socket(AF_INET, SOCK_STREAM, 0)); }

int acceptConnection(int listen_fd) noexcept {
  return withFlags(::accept(listen_fd, nullptr, nullptr));
}

long sendWithoutSignal(int fd, const char* data, size_t size) noexcept {
  return ::send(fd, data, size, 0);  // SO_NOSIGPIPE is set on the socket
}

}  // namespace oauth::detail
