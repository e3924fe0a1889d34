#pragma once

#include "tavrine/base/error.h"
#include "tavrine/base/unique_fd.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
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

// A listening IPv4 TCP socket on 127.0.0.1: SO_REUSEADDR set (SO_REUSEPORT
// not: one listener per port), backlog 128, close-on-exec and non-blocking.
// Closed by the destructor.
class CallbackListener {
 public:
  // ServerStartFailed when the socket cannot be made, configured, bound (the
  // port is taken, say) or put to listen.
  [[nodiscard]] static Result<CallbackListener> open(uint16_t port) noexcept;

  // The next pending connection (close-on-exec, non-blocking), or nothing
  // when none is pending. An interrupted accept is tried again at once;
  // any other failure is ServerStartFailed.
  [[nodiscard]] Result<std::optional<UniqueFd>> accept() noexcept;

  // The port the socket is bound to (ServerStartFailed when it cannot tell).
  [[nodiscard]] Result<uint16_t> port() const noexcept;

 private:
  explicit CallbackListener(UniqueFd fd) noexcept : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// How long one connection may take to send its request. A browser may open
// a connection ahead of time and leave it silent; the wait moves on to the
// next one instead of holding out until the deadline.
inline constexpr std::chrono::seconds kRequestWait{5};

// One read of at most kMaxRequestBytes from `connection`, waiting for bytes
// no later than `deadline`, no longer than kRequestWait, and no longer once a
// stop is requested. Empty when nothing came in time, the peer closed, or the
// read failed.
[[nodiscard]] std::string readRequest(int connection,
                                      std::chrono::steady_clock::time_point deadline);

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
