// The credentials file: any text reads without a fault, and every record
// written reads back exactly as it was saved.
#include "tavrine/signin/token_store.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

using token_store::Field;
using token_store::kFields;

// The input as a record: the first byte says which fields are present, the
// rest is split into their values at NUL bytes.
StoredTokens recordFrom(std::string_view input) {
  StoredTokens tokens;
  if (input.empty()) return tokens;
  const auto present = static_cast<unsigned char>(input[0]);
  input.remove_prefix(1);
  for (size_t i = 0; i < std::size(kFields); ++i) {
    const size_t end = std::min(input.find('\0'), input.size());
    if ((present >> i) & 1) tokens.*kFields[i].member = std::string(input.substr(0, end));
    input.remove_prefix(end == input.size() ? end : end + 1);
  }
  return tokens;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const Field& field : kFields) {
    if (!token_store::extractAndDupe(text, field.key)) std::abort();  // only OutOfMemory fails
  }

  const StoredTokens record = recordFrom(text);
  const std::string file = token_store::formatFile(record);
  for (const Field& field : kFields) {
    const auto read = token_store::extractAndDupe(file, field.key);
    if (!read || *read != record.*field.member) std::abort();
  }
  return 0;
}
