// The token response as the login reads it (oauth::readTokenAnswer) and shows
// it (oauth::shownTokenAnswer). The redaction itself has a target of its own,
// redaction_fuzz.
#include "tavrine/signin/oauth.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const oauth::TokenAnswer answer = oauth::readTokenAnswer(body);
  // Valid JSON, exactly as the reader of the manifest judges it.
  if (answer.json != nlohmann::json::accept(body.begin(), body.end())) std::abort();
  const std::string shown = oauth::shownTokenAnswer(body, answer);
  if (!answer.json) {
    // Nothing of a body that is not JSON is shown, and nothing taken from it.
    if (shown != "not JSON, not shown" || answer.access_token || answer.refresh_token ||
        answer.token_type || !answer.secrets.empty()) {
      std::abort();
    }
    return 0;
  }
  // Every value taken is among those hidden wherever they occur.
  for (const auto& value : {answer.access_token, answer.refresh_token, answer.token_type}) {
    if (value &&
        std::find(answer.secrets.begin(), answer.secrets.end(), *value) == answer.secrets.end()) {
      std::abort();
    }
  }
  for (const char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) std::abort();
  }
  return 0;
}
