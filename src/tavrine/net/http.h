#pragma once

#include "tavrine/base/error.h"
#include "tavrine/net/http_exchange.h"

#include <span>
#include <string>
#include <string_view>

// The two request helpers over libcurl. Each call is one complete,
// blocking exchange, on a client of its own unless the caller hands in the
// one its thread keeps. https
// exchanges use TLS 1.2 or newer and verify the server's certificate.
namespace http {

// The "User-Agent" value of the update check's requests; the
// helpers themselves add none.
inline constexpr std::string_view kUserAgent = "Tavrine-Agent/0.2.0";

// How a POST is carried, beyond its bounds.
struct PostOptions {
  // The calling thread's kept handle; nothing for a client of the call's own.
  Client* client = nullptr;
  // False for a POST whose answer is judged by its status alone: no content
  // encoding is offered, so none is decoded.
  bool offer_encodings = true;
};

// POST `body` to `url`. Headers sent: "Content-Type: application/json", then
// `headers` in order. Follows no redirect: a 3xx is returned. On a failed
// exchange writes "error: HTTP request failed: {name}" to standard error and
// returns RequestFailed; OutOfMemory when memory ran out.
[[nodiscard]] Result<HttpResponse> post(std::string_view url, std::string_view body,
                                        std::span<const HttpHeader> headers = {},
                                        const Limits& limits = {}, const PostOptions& options = {});

// GET `url` with exactly `headers`. Follows at most three redirects, only to
// http or https and never from https back to http; a fourth, or one to
// anywhere else, fails. On a failed exchange writes "error: HTTP GET request failed: {name}"
// and returns RequestFailed; OutOfMemory when memory ran out.
[[nodiscard]] Result<HttpResponse> get(std::string_view url,
                                       std::span<const HttpHeader> headers = {},
                                       const Limits& limits = {});

}  // namespace http
