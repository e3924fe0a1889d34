// The token response as the login reads it: a value found is a piece of the
// text between two double quotes, right after `"key":` and blanks. (The copy
// shown on the console and in the log has a target of its own,
// redaction_fuzz.)
#include "tavrine/signin/oauth.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte picks the key: one of the token response's, or a short
  // piece of the input itself.
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  static constexpr std::string_view kKeys[] = {"access_token", "refresh_token", "id_token",
                                               "token_type", ""};
  const std::string_view key =
      data[0] < 5 ? kKeys[data[0]] : input.substr(0, std::min<size_t>(data[0] % 8, input.size()));
  const std::string_view json = data[0] < 5 ? input : input.substr(key.size());

  if (const auto value = oauth::readTokenAnswer(json).access_token) {
    const size_t at = static_cast<size_t>(value->data() - json.data());
    if (value->data() < json.data() || at + value->size() >= json.size()) std::abort();
    if (json[at - 1] != '"' || json[at + value->size()] != '"') std::abort();
    if (value->find('"') != std::string_view::npos) std::abort();
    const std::string pattern = "\"" + std::string(key) + "\":";
    const size_t found = json.find(pattern);
    if (found == std::string_view::npos) std::abort();
    for (size_t i = found + pattern.size(); i + 1 < at; ++i) {
      if (json[i] != ' ' && json[i] != '\t' && json[i] != '\n') std::abort();
    }
  }
  return 0;
}
