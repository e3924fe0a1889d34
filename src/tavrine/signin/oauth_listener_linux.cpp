#include "tavrine/signin/oauth_listener.h"

#include <sys/socket.h>

namespace oauth::detail {

// The flags come with the descriptor, so no child started by another thread
// can inherit it in between.
int openStreamSocket() noexcept { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }

int acceptConnection(int listen_fd) noexcept {
  return ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
}

long sendWithoutSignal(int fd, const char* data, size_t size) noexcept {
  return ::send(fd, data, size, MSG_NOSIGNAL);
}

}  // namespace oauth::detail
