#pragma once

#include <optional>
#include <string_view>

// Reading the browser's redirect to the loopback listener.
namespace oauth {

// The two values of a callback request that the login uses, as views into
// the bytes read. Absent when the query has no piece with that key; an empty
// value is present.
struct CallbackRequest {
  std::optional<std::string_view> code;
  std::optional<std::string_view> state;
};

// Parses the bytes of one read as a callback request: the query runs from
// after the first "GET /callback?" to the next " HTTP/"; its pieces are split
// at "&", a piece without "=" is skipped, the key is the text before the first
// "=" and the value the text after it up to a second "=" or the piece's end.
// "code" and "state" are kept (a later piece wins), every other key ignored,
// nothing percent-decoded. Nothing when the bytes are not a callback request.
[[nodiscard]] std::optional<CallbackRequest> parseCallbackRequest(std::string_view bytes) noexcept;

}  // namespace oauth
