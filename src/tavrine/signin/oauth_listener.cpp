#include "tavrine/signin/oauth_listener.h"

#include "tavrine/platform/child_process.h"
#include "tavrine/platform/stop_request.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace oauth {

const std::string_view kSuccessPage =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n\r\n"
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Login Successful</title></head>"
    "<body style='font-family: system-ui; text-align: center; padding: 50px;'>"
    "<h1>\u2713 Login Successful!</h1>"
    "<p>You can close this window and return to the Tavrine agent.</p></body></html>";

const std::string_view kFailurePage =
    "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n\r\n"
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Login Failed</title></head>"
    "<body style='font-family: system-ui; text-align: center; padding: 50px;'>"
    "<h1>\u2717 Login Failed</h1><p>Invalid callback. Please try again.</p></body></html>";

namespace {
constexpr int kBacklog = 128;
}  // namespace

Result<CallbackListener> CallbackListener::open(uint16_t port) noexcept {
  UniqueFd fd(detail::openStreamSocket());
  if (!fd) return fail(Error::ServerStartFailed);
  // SO_REUSEADDR lets a new login bind while the previous one's connections
  // linger in TIME_WAIT. SO_REUSEPORT is left off on purpose: with it a
  // second login at the same time would bind as well and the system would
  // share the browser's connections between the two, so that a callback
  // could land on the login whose state it does not carry. Without it the
  // second login fails at once with ServerStartFailed.
  const int on = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    return fail(Error::ServerStartFailed);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), kBacklog) != 0) {
    return fail(Error::ServerStartFailed);
  }
  return CallbackListener(std::move(fd));
}

Result<std::optional<UniqueFd>> CallbackListener::accept() noexcept {
  for (;;) {
    const int connection = detail::acceptConnection(fd_.get());
    if (connection >= 0) return std::optional<UniqueFd>(UniqueFd(connection));
    if (errno == EINTR) continue;
    // A connection that was reset while queued is gone, not a broken
    // listener.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
      return std::optional<UniqueFd>();
    }
    return fail(Error::ServerStartFailed);
  }
}

Result<uint16_t> CallbackListener::port() const noexcept {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return fail(Error::ServerStartFailed);
  }
  return ntohs(address.sin_port);
}

std::string readRequest(int connection, std::chrono::steady_clock::time_point deadline) {
  // A connection that sends nothing must not hold the wait past its
  // deadline, so the one read waits only for as long as is left.
  deadline = std::min(deadline, std::chrono::steady_clock::now() + kRequestWait);
  pollfd entries[2] = {{connection, POLLIN, 0}, {platform::stopWakeFd(), POLLIN, 0}};
  for (;;) {
    if (platform::stopRequested()) return {};
    const int ready = ::poll(entries, 2, platform::pollTimeoutMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || entries[0].revents == 0) return {};
    break;
  }
  std::string bytes(kMaxRequestBytes, '\0');
  ssize_t got;
  do {
    got = ::read(connection, bytes.data(), bytes.size());
  } while (got < 0 && errno == EINTR);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

void writePage(int connection, std::string_view page) noexcept {
  // The connection is non-blocking; a browser that does not read 347 bytes
  // at once gets what fits into the socket buffer, which is all of it.
  while (!page.empty()) {
    const long sent = detail::sendWithoutSignal(connection, page.data(), page.size());
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return;
    page.remove_prefix(static_cast<size_t>(sent));
  }
}

}  // namespace oauth
