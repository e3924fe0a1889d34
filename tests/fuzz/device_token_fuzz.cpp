// The registration answer: whatever the backend sends, the token taken from
// it is a piece of the answer and never reaches past its end, and a token
// that is kept can be sent as a header value.
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
  if (const auto accepted = agent::acceptDeviceToken(body)) {
    if (!token || *accepted != *token) std::abort();
    if (accepted->size() > agent::kMaxDeviceTokenSize) std::abort();
    for (const char c : *accepted) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7F) std::abort();
    }
  }
  return 0;
}
