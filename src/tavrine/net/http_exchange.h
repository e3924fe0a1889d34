#pragma once

#include "tavrine/base/error.h"
#include "tavrine/net/http.h"

#include <cstddef>
#include <span>
#include <string_view>

// The one libcurl exchange under http::post, http::get and the sign-in's
// token request. It carries the rules every request of this program keeps:
// no proxy, TLS 1.2 or newer with the certificate verified, HTTP/1.1, the
// connect and stall bounds, the answer-size cap, and an end at once when the
// process is asked to stop.
namespace http::detail {

struct Request {
  bool post = false;          // else GET
  std::string_view url;
  std::string_view body;      // POST only
  // Sent exactly, in order; no header is added but libcurl's defaults.
  std::span<const HttpHeader> headers;
  int max_redirects = 0;      // 0: a 3xx is returned as it is
  size_t max_response = 0;    // largest accepted body, after decoding
  Limits limits;
  // Names the exchange in the line written when it fails:
  // "error: {failure_label} failed: {name}".
  std::string_view failure_label;
};

// Performs one exchange on a client of its own. A failed exchange writes the
// failure line and returns RequestFailed; OutOfMemory when memory ran out;
// Canceled, with no line, when a stop was requested (platform::requestStop).
[[nodiscard]] Result<HttpResponse> perform(const Request& request);

}  // namespace http::detail
