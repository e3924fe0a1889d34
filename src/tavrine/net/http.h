#pragma once

#include "tavrine/base/error.h"
#include "tavrine/net/http_exchange.h"

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

// POST `body` to `url`. Headers sent: "Content-Type: application/json", then
// `headers` in order. Follows no redirect: a 3xx is returned. On a failed
// exchange writes "error: HTTP request failed: {name}" to standard error and
// returns RequestFailed; OutOfMemory when memory ran out.
[[nodiscard]] Result<HttpResponse> post(std::string_view url, std::string_view body,
                                        std::span<const HttpHeader> headers = {},
                                        const Limits& limits = {});

// GET `url` with exactly `headers`. Follows at most three redirects, only to
// http or https and never from https back to http; a fourth, or one to
// anywhere else, fails. On a failed exchange writes "error: HTTP GET request failed: {name}"
// and returns RequestFailed; OutOfMemory when memory ran out.
[[nodiscard]] Result<HttpResponse> get(std::string_view url,
                                       std::span<const HttpHeader> headers = {},
                                       const Limits& limits = {});

}  // namespace http
