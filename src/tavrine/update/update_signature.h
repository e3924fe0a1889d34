#pragma once

#include "tavrine/base/config.h"
#include "tavrine/base/error.h"
#include "tavrine/base/es256.h"
#include "tavrine/base/jws.h"
#include "tavrine/update/updater.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The publisher's signature over the update manifest: a JWS (RFC 7515) in
// compact serialization with a detached payload, "HEADER..SIGNATURE", at the
// manifest's URL with ".sig" appended. HEADER is the Base64url of a JSON
// object naming "alg" ES256 and the signing key's RFC 7638 thumbprint as
// "kid"; SIGNATURE is the Base64url of the 64-byte r‖s over
// HEADER + "." + Base64url(manifest bytes as served).
namespace update_signature {

// The longest signature file read: a header and a signature take a few
// hundred bytes.
inline constexpr size_t kSignatureFileLimit = 4096;

// A public key an update manifest may be signed with.
struct TrustedKey {
  std::string kid;    // its thumbprint
  std::string point;  // the uncompressed P-256 point
};

// A signature file taken apart; nothing in it verified yet.
using SignatureFile = jws::DetachedJws;

// Parses a signature file; white space at its end is ignored. StreamTooLong
// past kSignatureFileLimit; SignatureInvalid for anything that is not such a
// JWS with "alg" ES256, a string "kid" and no "crit". Never throws.
[[nodiscard]] Result<SignatureFile> parseSignatureFile(std::string_view text) noexcept;

// Whether `signature_file` is a valid signature of `manifest` by one of
// `keys`: the parse errors above, UnknownSigningKey for a "kid" none of them
// has, SignatureInvalid for a signature that does not verify. Never throws.
[[nodiscard]] Result<void> verifyManifest(std::string_view manifest,
                                          std::string_view signature_file,
                                          std::span<const TrustedKey> keys) noexcept;

// The signature file for `manifest` made with `key`.
[[nodiscard]] Result<std::string> signManifest(std::string_view manifest,
                                               const es256::PrivateKey& key);

// A trusted key from its PEM text (SubjectPublicKeyInfo); InvalidKey.
[[nodiscard]] Result<TrustedKey> trustedKey(std::string_view pem);

// The keys an update manifest of `mode` must be signed with one of: the keys
// this build was configured with (`configured`, by default those compiled
// in), and in the development mode the development update key. Empty when a
// production build names none: its updates are not signed.
[[nodiscard]] std::vector<TrustedKey> trustedKeys(Mode mode);
[[nodiscard]] std::vector<TrustedKey> trustedKeys(Mode mode,
                                                  std::span<const std::string_view> configured);

// Reads an RFC 3339 UTC time of the form "2027-03-01T00:00:00Z" (fractional
// seconds allowed); InvalidResponse for anything else.
[[nodiscard]] Result<std::chrono::sys_seconds> parseTimestamp(std::string_view text) noexcept;

// The rules a signed manifest meets besides its signature, at time `now`:
// an `expires` (MissingField, InvalidResponse when not such a time) later
// than `now` (ManifestExpired), and for the chosen artifact `sha256` and
// `size` (MissingField).
[[nodiscard]] Result<void> checkSignedManifest(const updater::UpdateManifest& manifest,
                                               std::chrono::system_clock::time_point now);

}  // namespace update_signature
