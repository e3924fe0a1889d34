#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// SHA-256 and HMAC-SHA256 from the platform's crypto library: OpenSSL's
// libcrypto on Linux (crypto_linux.cpp), CommonCrypto on macOS
// (crypto_darwin.cpp). Nothing here is hand-written cryptography.
namespace crypto {

inline constexpr size_t kSha256Size = 32;
using Sha256Digest = std::array<uint8_t, kSha256Size>;

// SHA-256 (FIPS 180-4) of `data`.
[[nodiscard]] Sha256Digest sha256(std::string_view data) noexcept;

// HMAC-SHA256 (RFC 2104) of `message` under `key` (any length).
[[nodiscard]] Sha256Digest hmacSha256(std::string_view key, std::string_view message) noexcept;

// Lowercase hexadecimal of `bytes`: two characters per byte, high nibble first.
[[nodiscard]] std::string toHex(const uint8_t* bytes, size_t size);
[[nodiscard]] inline std::string toHex(const Sha256Digest& digest) {
  return toHex(digest.data(), digest.size());
}

// URL-safe Base64 (RFC 4648 section 5: "-" and "_" for "+" and "/") of
// `bytes`, without "=" padding.
[[nodiscard]] std::string base64UrlNoPad(const uint8_t* bytes, size_t size);
[[nodiscard]] inline std::string base64UrlNoPad(const Sha256Digest& digest) {
  return base64UrlNoPad(digest.data(), digest.size());
}

// Compares two byte strings in a time that depends only on their lengths.
[[nodiscard]] bool constantTimeEqual(std::string_view a, std::string_view b) noexcept;

}  // namespace crypto
