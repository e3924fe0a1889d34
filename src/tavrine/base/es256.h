#pragma once

#include "tavrine/base/error.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// ECDSA over P-256 with SHA-256 ("ES256"), from the platform's own crypto:
// OpenSSL's EVP on Linux (es256_linux.cpp), the Security framework on macOS
// (es256_darwin.cpp). The key and signature encodings around it (PEM, DER,
// the JWK thumbprint) are the same everywhere (es256.cpp).
namespace es256 {

inline constexpr size_t kPointSize = 65;      // 0x04, X, Y: an uncompressed point
inline constexpr size_t kScalarSize = 32;     // the private scalar
inline constexpr size_t kSignatureSize = 64;  // r then s, 32 bytes each

// A key pair: the public point and the private scalar.
struct PrivateKey {
  std::string point;
  std::string scalar;
};

// Whether `signature` (r‖s) is a valid signature of `message` by the key
// whose public point is `point`. False for a point off the curve or a
// malformed signature.
[[nodiscard]] bool verify(std::string_view point, std::string_view message,
                          std::string_view signature) noexcept;

// A private key decoded once into the platform's own form, so that each
// signature only signs: decoding costs many times what signing does. Copies
// share the one decoded key, which nothing changes once it is made, so
// threads may sign with it at once.
class SigningKey {
 public:
  // A key that signs nothing: sign() fails with InvalidKey.
  SigningKey() = default;

  // The platform's form of `key`. InvalidKey when the platform refuses the
  // key; OutOfMemory.
  [[nodiscard]] static Result<SigningKey> decode(const PrivateKey& key) noexcept;

  // The r‖s signature of `message`. InvalidKey when the platform refuses to
  // sign; OutOfMemory.
  [[nodiscard]] Result<std::string> sign(std::string_view message) const noexcept;

 private:
  struct Platform;  // per OS, in es256_linux.cpp and es256_darwin.cpp
  // The platform's form of a key of the right sizes; nothing when the
  // platform refuses it. Throws std::bad_alloc.
  static std::shared_ptr<const Platform> decodePlatform(const PrivateKey& key);
  // The DER signature of `message` by `platform`. Throws std::bad_alloc.
  static Result<std::string> signDer(const Platform& platform, std::string_view message);

  std::shared_ptr<const Platform> platform_;
};

// The r‖s signature of `message` by `key`, decoded for this one signature.
// Errors of SigningKey.
[[nodiscard]] Result<std::string> sign(const PrivateKey& key, std::string_view message) noexcept;

// A new key pair from the platform's random source.
[[nodiscard]] Result<PrivateKey> generate() noexcept;

// The point of a "PUBLIC KEY" PEM (SubjectPublicKeyInfo of a P-256 key).
// InvalidKey for anything else.
[[nodiscard]] Result<std::string> publicKeyFromPem(std::string_view pem);

// A "PRIVATE KEY" (PKCS #8) or "EC PRIVATE KEY" (SEC 1) PEM of a P-256 key
// that carries its public point, as OpenSSL, Node and this program write
// them. InvalidKey for anything else.
[[nodiscard]] Result<PrivateKey> privateKeyFromPem(std::string_view pem);
// The same key as SEC 1 DER (with the curve named), as OpenSSL writes it.
[[nodiscard]] Result<PrivateKey> privateKeyFromDer(std::string_view der);

// PEM texts of a key: SubjectPublicKeyInfo, and PKCS #8.
[[nodiscard]] std::string publicKeyPem(std::string_view point);
[[nodiscard]] std::string privateKeyPem(const PrivateKey& key);

// DER of the SubjectPublicKeyInfo and of the PKCS #8 structure.
[[nodiscard]] std::string publicKeyDer(std::string_view point);
[[nodiscard]] std::string privateKeyDer(const PrivateKey& key);

// The key's JWK thumbprint (RFC 7638) in unpadded URL-safe Base64.
[[nodiscard]] std::string thumbprint(std::string_view point);

// The DER form (SEQUENCE of two INTEGERs) of an r‖s signature, which the
// platform libraries take, and back; nothing for a malformed one.
[[nodiscard]] std::optional<std::string> derFromRaw(std::string_view raw);
[[nodiscard]] std::optional<std::string> rawFromDer(std::string_view der);

// Base64 (RFC 4648: the standard alphabet with optional "=" padding, or with
// `url_safe` the URL-safe one without padding) decoded; nothing when `text`
// holds anything else.
[[nodiscard]] std::optional<std::string> base64Decode(std::string_view text, bool url_safe);

}  // namespace es256
