#include "tavrine/signin/oauth_callback.h"

namespace oauth {

std::optional<CallbackRequest> parseCallbackRequest(std::string_view bytes) noexcept {
  constexpr std::string_view kStart = "GET /callback?";
  constexpr std::string_view kEnd = " HTTP/";
  const size_t start = bytes.find(kStart);
  if (start == std::string_view::npos) return std::nullopt;
  const size_t query_start = start + kStart.size();
  const size_t query_end = bytes.find(kEnd, query_start);
  if (query_end == std::string_view::npos) return std::nullopt;
  std::string_view query = bytes.substr(query_start, query_end - query_start);

  CallbackRequest request;
  for (;;) {
    const size_t amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    if (const size_t eq = piece.find('='); eq != std::string_view::npos) {
      const std::string_view key = piece.substr(0, eq);
      std::string_view value = piece.substr(eq + 1);
      value = value.substr(0, value.find('='));
      if (key == "code") request.code = value;
      if (key == "state") request.state = value;
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return request;
}

}  // namespace oauth
