// The copy of a backend answer shown on the console and in the log: no value
// the caller took from the answer survives anywhere in it; an answer that
// names no credential and escapes nothing comes back unchanged; and a JSON
// answer stays JSON of the same shape, in which exactly the strings under a
// credential's member read "[redacted]".
#include "tavrine/base/redaction.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Json = nlohmann::json;

// The input tree as the redaction should leave it.
void hideSecrets(Json& value, bool secret) {
  if (value.is_string() && secret) value = std::string(redaction::kMark);
  if (value.is_array()) {
    for (Json& element : value) hideSecrets(element, secret);
  }
  if (value.is_object()) {
    for (auto& [key, member] : value.items()) {
      hideSecrets(member, secret || redaction::isSecretKey(key));
    }
  }
}

bool containsWordIgnoringCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return lower.find("token") != std::string::npos || lower.find("secret") != std::string::npos ||
         lower.find("password") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte says how many values the caller took (0 to 3); each is
  // then given by two bytes, its offset and length in the answer.
  if (size == 0) return 0;
  const size_t taken_count = data[0] & 3;
  const size_t header = 1 + 2 * taken_count;
  if (size < header) return 0;
  const std::string_view body(reinterpret_cast<const char*>(data + header), size - header);
  std::vector<std::string_view> taken;
  for (size_t i = 0; i < taken_count && !body.empty(); ++i) {
    const size_t offset = data[1 + 2 * i] % body.size();
    taken.push_back(body.substr(offset, data[2 + 2 * i] % 24));
  }

  const std::string shown = redaction::redactSecrets(body, taken);

  // Every occurrence of a taken value in the copy overlaps a mark.
  for (const std::string_view value : taken) {
    if (value.empty()) continue;
    for (size_t at = shown.find(value); at != std::string::npos; at = shown.find(value, at + 1)) {
      // The first mark that ends after the occurrence starts must start
      // before it ends.
      const size_t mark = shown.find(redaction::kMark, at >= redaction::kMark.size() - 1
                                                           ? at - (redaction::kMark.size() - 1)
                                                           : 0);
      if (mark == std::string::npos || mark >= at + value.size()) std::abort();
    }
  }

  bool took_something = false;
  for (const std::string_view value : taken) took_something = took_something || !value.empty();
  if (took_something) return 0;
  if (body.find('\\') == std::string_view::npos && !containsWordIgnoringCase(body) &&
      shown != body) {
    std::abort();
  }
  if (Json::accept(body)) {
    if (!Json::accept(shown)) std::abort();
    Json expected = Json::parse(body);
    hideSecrets(expected, false);
    if (Json::parse(shown) != expected) std::abort();
  }
  return 0;
}
