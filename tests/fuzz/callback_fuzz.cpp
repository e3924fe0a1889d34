// The browser's redirect as the listener reads it: whatever the bytes, the
// code and the state taken from them are pieces of the query, hold neither
// "&" nor "=", and come from a piece that names them.
#include "tavrine/signin/oauth_callback.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void checkValue(std::string_view bytes, std::string_view query,
                const std::optional<std::string_view>& value, std::string_view key) {
  if (!value) return;
  if (value->data() < query.data() || value->data() + value->size() > query.data() + query.size()) {
    std::abort();
  }
  if (value->find_first_of("&=") != std::string_view::npos) std::abort();
  // The piece starts with the key and "=" right before the value.
  const size_t at = static_cast<size_t>(value->data() - bytes.data());
  const std::string lead = std::string(key) + "=";
  if (at < lead.size() || bytes.substr(at - lead.size(), lead.size()) != lead) std::abort();
  const size_t key_at = at - lead.size();
  if (key_at != static_cast<size_t>(query.data() - bytes.data()) && bytes[key_at - 1] != '&') {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto request = oauth::parseCallbackRequest(bytes);
  const size_t start = bytes.find("GET /callback?");
  if (!request) return 0;
  if (start == std::string_view::npos) std::abort();
  const size_t query_start = start + 14;
  const size_t end = bytes.find(" HTTP/", query_start);
  if (end == std::string_view::npos) std::abort();
  const std::string_view query = bytes.substr(query_start, end - query_start);
  checkValue(bytes, query, request->code, "code");
  checkValue(bytes, query, request->state, "state");
  return 0;
}
