#include "tavrine/signin/oauth_listener.h"

#include "tavrine/platform/child_process.h"
#include "tavrine/platform/stop_request.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

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

bool CallbackListener::makeRoom() {
  if (connections_.size() < kMaxOpenConnections) return true;
  std::vector<pollfd> entries;
  entries.reserve(connections_.size());
  for (const UniqueFd& connection : connections_) {
    entries.push_back({connection.get(), POLLIN, 0});
  }
  int ready;
  do {
    ready = ::poll(entries.data(), entries.size(), 0);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return false;
  for (size_t index = 0; index < entries.size(); ++index) {
    if (entries[index].revents == 0) {
      connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(index));
      return true;
    }
  }
  return false;
}

Result<void> CallbackListener::acceptPending() {
  for (;;) {
    // A connection whose request has arrived is always answered: when every
    // open one has sent something, the next stay queued until those are
    // read.
    if (!makeRoom()) return {};
    const int connection = detail::acceptConnection(fd_.get());
    if (connection >= 0) {
      connections_.emplace_back(connection);
      continue;
    }
    if (errno == EINTR) continue;
    // A connection that was reset while queued is gone, not a broken
    // listener.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) return {};
    return fail(Error::ServerStartFailed);
  }
}

std::optional<ArrivedRequest> CallbackListener::readFrom(size_t index) {
  const auto position = connections_.begin() + static_cast<std::ptrdiff_t>(index);
  std::string bytes(kMaxRequestBytes, '\0');
  ssize_t got;
  do {
    got = ::read(position->get(), bytes.data(), bytes.size());
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
  UniqueFd connection = std::move(*position);
  connections_.erase(position);
  if (got <= 0) return std::nullopt;
  bytes.resize(static_cast<size_t>(got));
  return ArrivedRequest{std::move(connection), std::move(bytes)};
}

Result<ArrivedRequest> CallbackListener::awaitRequest(
    std::chrono::steady_clock::time_point deadline) {
  // Every connection is watched at once: a browser opens some ahead of time
  // and leaves them silent, and any local process can do the same. Waiting
  // on one at a time would let them push the real callback past the
  // deadline.
  std::vector<pollfd> entries;
  for (;;) {
    if (std::chrono::steady_clock::now() > deadline) return fail(Error::CallbackTimeout);
    if (platform::stopRequested()) return fail(Error::Canceled);
    entries.clear();
    entries.push_back({fd_.get(), POLLIN, 0});
    entries.push_back({platform::stopWakeFd(), POLLIN, 0});
    for (const UniqueFd& connection : connections_) {
      entries.push_back({connection.get(), POLLIN, 0});
    }
    const int ready = ::poll(entries.data(), entries.size(), platform::pollTimeoutMs(deadline));
    if (ready < 0 && errno != EINTR) return fail(Error::ServerStartFailed);
    if (ready <= 0) continue;
    // The connections in the order they came; the entries of those dropped
    // on the way are behind the current one, so `index` stays in step.
    size_t index = 0;
    for (size_t entry = 2; entry < entries.size(); ++entry) {
      if (entries[entry].revents == 0) {
        ++index;
        continue;
      }
      const size_t before = connections_.size();
      if (auto arrived = readFrom(index)) return std::move(*arrived);
      if (connections_.size() == before) ++index;
    }
    if (entries[0].revents != 0) {
      if (auto accepted = acceptPending(); !accepted) return fail(accepted.error());
    }
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
