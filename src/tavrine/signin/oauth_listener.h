#pragma once

#include "tavrine/base/error.h"
#include "tavrine/base/unique_fd.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

// The one-shot HTTP listener on the loopback interface that receives the
// browser's redirect, and the two pages it answers with.
namespace oauth {

// The most bytes read from one connection; the request line is all we need.
inline constexpr size_t kMaxRequestBytes = 4096;

// The page for the accepted callback (347 bytes) and for anything else (324).
extern const std::string_view kSuccessPage;
extern const std::string_view kFailurePage;

// How many accepted connections are kept open at once while their requests
// are awaited; one more closes the oldest that has sent nothing yet.
inline constexpr size_t kMaxOpenConnections = 32;

// The first bytes a connection sent (one read of at most kMaxRequestBytes),
// and the connection, for the answer.
struct ArrivedRequest {
  UniqueFd connection;
  std::string bytes;
};

// A listening IPv4 TCP socket on 127.0.0.1: SO_REUSEADDR set (SO_REUSEPORT
// not: one listener per port), backlog 128, close-on-exec and non-blocking;
// with the connections it has accepted and not yet handed out. Everything is
// closed by the destructor.
class CallbackListener {
 public:
  // ServerStartFailed when the socket cannot be made, configured, bound (the
  // port is taken, say) or put to listen.
  [[nodiscard]] static Result<CallbackListener> open(uint16_t port) noexcept;

  // Waits on the listener and on every open connection at once, accepting
  // new connections meanwhile (close-on-exec, non-blocking; beyond
  // kMaxOpenConnections the oldest silent one is closed), until a connection has sent
  // something: its first read is handed out with the connection. A
  // connection that closes or fails before sending is closed and forgotten.
  // CallbackTimeout once `deadline` has passed, Canceled once a stop is
  // requested (platform::requestStop), ServerStartFailed when accepting or
  // waiting fails for a reason other than an interruption or no pending
  // connection.
  [[nodiscard]] Result<ArrivedRequest> awaitRequest(
      std::chrono::steady_clock::time_point deadline);

  // The port the socket is bound to (ServerStartFailed when it cannot tell).
  [[nodiscard]] Result<uint16_t> port() const noexcept;

 private:
  explicit CallbackListener(UniqueFd fd) noexcept : fd_(std::move(fd)) {}

  // Accepts every pending connection, as long as there is room.
  // ServerStartFailed as above.
  [[nodiscard]] Result<void> acceptPending();
  // Room for one more connection: below kMaxOpenConnections, or after
  // closing the oldest one that has sent nothing. False when every open
  // connection has something to read.
  [[nodiscard]] bool makeRoom();
  // The first read of the connection at `index` when it has sent something;
  // nothing when it has not (yet). A connection that is done is dropped.
  [[nodiscard]] std::optional<ArrivedRequest> readFrom(size_t index);

  UniqueFd fd_;
  std::deque<UniqueFd> connections_;  // oldest first
};

// Writes `page` in full, or as much as the peer takes; a failure is ignored.
// Never raises SIGPIPE.
void writePage(int connection, std::string_view page) noexcept;

namespace detail {
// The per-OS steps: a close-on-exec, non-blocking IPv4 stream socket; an
// accepted connection with the same flags (and no SIGPIPE on write where the
// OS sets that per socket); a send that raises no SIGPIPE. -1 with errno set
// on failure.
[[nodiscard]] int openStreamSocket() noexcept;
[[nodiscard]] int acceptConnection(int listen_fd) noexcept;
[[nodiscard]] long sendWithoutSignal(int fd, const char* data, size_t size) noexcept;
}  // namespace detail

}  // namespace oauth
