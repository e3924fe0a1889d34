#include "tavrine/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdlib>

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

bool constantTimeEqual(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace crypto
