// The registration answer: whatever the backend sends, the token taken from
// it is a piece of the answer and never reaches past its end.
#include "tavrine/agent/registration.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const auto token = agent::extractToken(body);
  if (token) {
    const char* begin = token->data();
    if (begin < body.data() || begin + token->size() > body.data() + body.size()) std::abort();
    if (token->find('"') != std::string_view::npos) std::abort();
  }
  return 0;
}
