#pragma once

#include "tavrine/base/error.h"
#include "tavrine/base/es256.h"

#include <string>
#include <string_view>

// ES256 signatures in JWS (RFC 7515) compact serialization with a detached
// payload: "HEADER..SIGNATURE". HEADER is the Base64url of
// {"alg":"ES256","kid":THUMBPRINT} (the RFC 7638 thumbprint of the signing
// key); SIGNATURE is the Base64url of the 64-byte r‖s over
// HEADER + "." + Base64url(payload). The payload itself travels elsewhere
// (an update manifest, a report body).
namespace jws {

// A detached JWS taken apart; nothing in it verified yet.
struct DetachedJws {
  std::string encoded_header;  // as written, the first half of the signing input
  std::string kid;
  std::string signature;  // r‖s, 64 bytes
};

// Unpadded URL-safe Base64.
[[nodiscard]] std::string base64Url(std::string_view bytes);

// The encoded protected header naming ES256 and `kid`, exactly as signDetached
// writes it.
[[nodiscard]] std::string encodedHeader(std::string_view kid);

// The input a detached JWS signs: `encoded_header` "." Base64url(`payload`).
[[nodiscard]] std::string signingInput(std::string_view encoded_header, std::string_view payload);

// "HEADER..SIGNATURE" from the encoded header and the r‖s signature of its
// signing input.
[[nodiscard]] std::string compact(std::string_view encoded_header, std::string_view signature);

// The compact JWS of `payload` by `key`, its header made once by the caller
// (encodedHeader of the key's thumbprint). Errors of es256::SigningKey::sign.
[[nodiscard]] Result<std::string> signDetached(std::string_view encoded_header,
                                               std::string_view payload,
                                               const es256::SigningKey& key);
// The same with the header made and the key decoded here, for one signature.
[[nodiscard]] Result<std::string> signDetached(std::string_view payload,
                                               const es256::PrivateKey& key);

// Parses "HEADER..SIGNATURE": SignatureInvalid for anything that is not such a
// JWS with "alg" ES256, a string "kid" and no "crit". Never throws.
[[nodiscard]] Result<DetachedJws> parseDetached(std::string_view text) noexcept;

// Whether `jws` is a valid signature of `payload` by the key whose public
// point is `point`. The caller matches the kid.
[[nodiscard]] bool verifyDetached(const DetachedJws& jws, std::string_view payload,
                                  std::string_view point) noexcept;

}  // namespace jws
