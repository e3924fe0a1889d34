#include "tavrine/base/crypto.h"

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

std::string base64UrlNoPad(const uint8_t* bytes, size_t size) {
  // CommonCrypto has no Base64; the encoding is a table look-up per six bits.
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string text;
  text.reserve((size * 4 + 2) / 3);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t group = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) text.push_back(kAlphabet[(group >> shift) & 63]);
  }
  if (const size_t rest = size - i; rest > 0) {
    const uint32_t group =
        (uint32_t{bytes[i]} << 16) | (rest == 2 ? uint32_t{bytes[i + 1]} << 8 : 0);
    text.push_back(kAlphabet[(group >> 18) & 63]);
    text.push_back(kAlphabet[(group >> 12) & 63]);
    if (rest == 2) text.push_back(kAlphabet[(group >> 6) & 63]);
  }
  return text;
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
