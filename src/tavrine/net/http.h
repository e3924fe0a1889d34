#pragma once

#include "tavrine/base/error.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The two request helpers over libcurl. Each call is one complete,
// blocking exchange on a client of its own: no connection is reused. https
// exchanges use TLS 1.2 or newer and verify the server's certificate.
namespace http {

// The "User-Agent" value of the update check's requests; the
// helpers themselves add none.
inline constexpr std::string_view kUserAgent = "Tavrine-Agent/0.2.0";

// One extra request header, sent as written. The caller keeps the strings
// alive until the call returns.
struct HttpHeader {
  std::string_view name;
  std::string_view value;
};

// A completed exchange, whatever its status.
struct HttpResponse {
  uint16_t status = 0;
  std::string body;  // decoded; may be empty
};

// Bounds of one exchange: without them a silent backend would freeze the
// check thread and a huge answer would exhaust memory. Each bound that trips fails the call with
// RequestFailed, after the error line naming it: Timeout (connect), TransferStalled,
// ResponseTooLarge.
struct Limits {
  // The TCP connection must be established within this time.
  std::chrono::milliseconds connect_timeout{30'000};
  // A transfer that moves no byte for this long fails (whole seconds).
  std::chrono::seconds stall_timeout{60};
  // Largest response body (after decoding) accepted by post and by get. A
  // POST answer is a status, a token or a few fields; a GET may be a
  // download.
  size_t max_post_response = size_t{1} << 20;
  size_t max_get_response = size_t{512} << 20;
};

// An answer body of at least this many bytes counts as large.
inline constexpr size_t kLargeAnswer = size_t{256} << 10;

// POST `body` to `url`. Headers sent: "Content-Type: application/json", then
// `headers` in order. Follows no redirect: a 3xx is returned. On a failed
// exchange writes "error: HTTP request failed: {name}" to standard error and
// returns RequestFailed; OutOfMemory when memory ran out.
[[nodiscard]] Result<HttpResponse> post(std::string_view url, std::string_view body,
                                        std::span<const HttpHeader> headers = {},
                                        const Limits& limits = {});

// GET `url` with exactly `headers`. Follows at most three redirects; a fourth
// fails. On a failed exchange writes "error: HTTP GET request failed: {name}"
// and returns RequestFailed; OutOfMemory when memory ran out.
[[nodiscard]] Result<HttpResponse> get(std::string_view url,
                                       std::span<const HttpHeader> headers = {},
                                       const Limits& limits = {});

// Gives the freed memory back to the operating system when an exchange
// since the last call held a large answer (the allocator would keep its
// pages); does nothing otherwise. Call when the answers have been let go.
void releaseLargeAnswerMemory() noexcept;

// The name printed for a libcurl result code (a CURLcode value). `os_errno`
// (CURLINFO_OS_ERRNO) refines connection failures; `connected` tells a
// connect timeout (Timeout) from a stalled transfer (TransferStalled), and a
// refused scheme (UnsupportedUriScheme) from an answer that is not HTTP
// (MalformedResponse).
[[nodiscard]] Error failureFromCurl(int curl_code, long os_errno = 0,
                                    bool connected = false) noexcept;

}  // namespace http
