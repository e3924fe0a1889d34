#pragma once

#include "tavrine/base/error.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The libcurl exchange every request of this program goes through, and the
// types of its requests and answers.
namespace http {

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
  // The answer went past the size bound and `body` holds only what came
  // before it (only when Limits::cut_at_limit asked for that).
  bool truncated = false;
};

// Bounds of one exchange: without them a silent or trickling backend would
// freeze the check thread or a sign-in, and a huge answer would exhaust
// memory. Each bound that trips fails the call with RequestFailed, after the
// error line naming it: Timeout (connect), TransferStalled, TransferTimedOut
// (the whole exchange), ResponseTooLarge.
struct Limits {
  // The TCP connection must be established within this time.
  std::chrono::milliseconds connect_timeout{30'000};
  // A transfer that moves no byte for this long fails (whole seconds).
  std::chrono::seconds stall_timeout{60};
  // The whole exchange, redirects included, from the first connection
  // attempt to the last byte. A server that sends a byte now and then never
  // trips the stall bound; this one ends it.
  std::chrono::milliseconds total_timeout{60'000};
  // Largest response body (after decoding) accepted by post and by get. A
  // POST answer is a status, a token or a few fields; a GET may be a
  // download.
  size_t max_post_response = size_t{1} << 20;
  size_t max_get_response = size_t{512} << 20;
  // An answer past the size bound is then no failure: the exchange ends
  // there and returns what came so far, marked `truncated`, so that the
  // caller can refuse it in its own words.
  bool cut_at_limit = false;
  // Not a bound, but set the same way: when not empty, the certificates
  // (a PEM file) trusted instead of the system's roots. Only tests that serve
  // https on loopback with a certificate of their own set it.
  std::string_view trusted_certificates;
};

namespace detail {
struct Request;
[[nodiscard]] Result<HttpResponse> perform(const Request& request);
}  // namespace detail

// A libcurl handle that one thread keeps between its requests, so that its
// connections, DNS answers and TLS sessions are reused while the server
// keeps them. Every request still sets all of its own options: limits,
// redirects and failure names are per call. A handle is never shared: only
// the thread that made the Client uses it.
class Client {
 public:
  Client() = default;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client();

 private:
  friend Result<HttpResponse> detail::perform(const detail::Request& request);

  // What the handle's fixed options were last set from. A request with the
  // same settings (the check thread's reports, one after another) sets only
  // its own URL, body, headers, timer and callbacks' data; any other starts
  // from a reset handle.
  struct Settings {
    std::chrono::milliseconds connect_timeout{};
    std::chrono::seconds stall_timeout{};
    std::string trusted_certificates;
    size_t max_response = 0;
    bool cut_at_limit = false;
    bool offer_encodings = false;
    bool post = false;
    bool operator==(const Settings&) const = default;
  };

  void* easy_ = nullptr;  // the CURL handle, made on first use
  Settings settings_;
  bool configured_ = false;  // settings_ holds what the handle was set with
};

// An answer body of at least this many bytes counts as large.
inline constexpr size_t kLargeAnswer = size_t{256} << 10;

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

// The one libcurl exchange under http::post, http::get and the sign-in's
// token request. It carries the rules every request of this program keeps:
// no proxy, TLS 1.2 or newer with the certificate verified, HTTP/1.1, the
// connect, stall and overall bounds, the answer-size cap, redirects only to
// http and https and never from https back to http, and an end at once when
// the process is asked to stop.
namespace http::detail {

struct Request {
  bool post = false;  // else GET
  std::string_view url;
  std::string_view body;  // POST only
  // Sent exactly, in order; no header is added but libcurl's defaults.
  std::span<const HttpHeader> headers;
  // 0: a 3xx is returned as it is. Otherwise 301, 302, 303, 307 and 308 are
  // followed this many times; one more fails (TooManyRedirects), and so does
  // a redirect to a scheme other than http and https (UnsupportedUriScheme)
  // or to http once https was used (InsecureRedirect).
  int max_redirects = 0;
  size_t max_response = 0;  // largest accepted body, after decoding
  Limits limits;
  // Names the exchange in the line written when it fails:
  // "error: {failure_label} failed: {name}".
  std::string_view failure_label;
  // The calling thread's kept handle, or nothing for a client of this call's
  // own.
  Client* client = nullptr;
  // Offer (and decode) every content encoding libcurl supports; off for an
  // answer whose body nobody reads.
  bool offer_encodings = true;
};

// Why a redirect to `to` (absolute, as libcurl resolved it) is not
// followed, or nothing when it may be; `secure_before` tells that a step of
// the exchange so far used https.
[[nodiscard]] std::optional<Error> redirectRefusal(std::string_view to,
                                                   bool secure_before) noexcept;

// Performs one exchange on the request's kept client, or on one of its own.
// A failed exchange writes the
// failure line and returns RequestFailed; OutOfMemory when memory ran out;
// Canceled, with no line, when a stop was requested (platform::requestStop).
[[nodiscard]] Result<HttpResponse> perform(const Request& request);

}  // namespace http::detail
