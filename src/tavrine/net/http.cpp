#include "tavrine/net/http.h"

#include <new>
#include <vector>

namespace http {

Result<HttpResponse> post(std::string_view url, std::string_view body,
                          std::span<const HttpHeader> headers, const Limits& limits,
                          const PostOptions& options) {
  std::vector<HttpHeader> all;
  try {
    all.reserve(headers.size() + 1);
    all.push_back({"Content-Type", "application/json"});
    all.insert(all.end(), headers.begin(), headers.end());
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return detail::perform({.post = true,
                          .url = url,
                          .body = body,
                          .headers = all,
                          .max_redirects = 0,
                          .max_response = limits.max_post_response,
                          .limits = limits,
                          .failure_label = "HTTP request",
                          .client = options.client,
                          .offer_encodings = options.offer_encodings});
}

Result<HttpResponse> get(std::string_view url, std::span<const HttpHeader> headers,
                         const Limits& limits) {
  return detail::perform({.post = false,
                          .url = url,
                          .body = {},
                          .headers = headers,
                          .max_redirects = 3,
                          .max_response = limits.max_get_response,
                          .limits = limits,
                          .failure_label = "HTTP GET request"});
}

}  // namespace http
