#include "tavrine/base/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdlib>
#include <string>

namespace crypto {

Sha256Digest sha256(std::string_view data) noexcept {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != digest.size()) {
    std::abort();  // Only fails when libcrypto itself is broken.
  }
  return digest;
}

Sha256Digest hmacSha256(std::string_view key, std::string_view message) noexcept {
  Sha256Digest mac{};
  unsigned int length = 0;
  // A non-null key pointer even for an empty key: HMAC() treats a null key as
  // "reuse the previous one".
  static const unsigned char kEmpty = 0;
  const void* key_bytes = key.empty() ? &kEmpty : static_cast<const void*>(key.data());
  if (HMAC(EVP_sha256(), key_bytes, static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac.data(),
           &length) == nullptr ||
      length != mac.size()) {
    std::abort();
  }
  return mac;
}

std::string base64UrlNoPad(const uint8_t* bytes, size_t size) {
  // EVP_EncodeBlock writes the standard alphabet with padding and a NUL.
  std::string text(4 * ((size + 2) / 3) + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, static_cast<int>(size));
  text.resize(written < 0 ? 0 : static_cast<size_t>(written));
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

bool constantTimeEqual(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace crypto
