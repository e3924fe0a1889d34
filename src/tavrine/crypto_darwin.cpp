#include "tavrine/crypto.h"

#include <CommonCrypto/CommonDigest.h>
#include <CommonCrypto/CommonHMAC.h>

namespace crypto {

Sha256Digest sha256(std::string_view data) noexcept {
  Sha256Digest digest{};
  CC_SHA256(data.data(), static_cast<CC_LONG>(data.size()), digest.data());
  return digest;
}

Sha256Digest hmacSha256(std::string_view key, std::string_view message) noexcept {
  Sha256Digest mac{};
  CCHmac(kCCHmacAlgSHA256, key.data(), key.size(), message.data(), message.size(), mac.data());
  return mac;
}

bool constantTimeEqual(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

}  // namespace crypto
