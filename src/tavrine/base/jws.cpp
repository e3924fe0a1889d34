#include "tavrine/base/jws.h"

#include "tavrine/base/crypto.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <new>

namespace jws {
namespace {

Result<DetachedJws> parse(std::string_view text) {
  // HEADER, an empty payload (detached), SIGNATURE.
  const size_t first = text.find('.');
  if (first == std::string_view::npos || first == 0) return fail(Error::SignatureInvalid);
  if (text.substr(first, 2) != "..") return fail(Error::SignatureInvalid);
  const std::string_view header_text = text.substr(0, first);
  const std::string_view signature_text = text.substr(first + 2);
  if (signature_text.find('.') != std::string_view::npos) return fail(Error::SignatureInvalid);
  const auto header_json = es256::base64Decode(header_text, true);
  auto signature = es256::base64Decode(signature_text, true);
  if (!header_json || !signature || signature->size() != es256::kSignatureSize) {
    return fail(Error::SignatureInvalid);
  }
  // The header has no nesting worth the name; depth is bounded by the size.
  const nlohmann::json header = nlohmann::json::parse(*header_json, nullptr, false);
  if (!header.is_object()) return fail(Error::SignatureInvalid);
  const auto alg = header.find("alg");
  const auto kid = header.find("kid");
  if (alg == header.end() || !alg->is_string() || *alg != "ES256" || kid == header.end() ||
      !kid->is_string()) {
    return fail(Error::SignatureInvalid);
  }
  // Extensions this program does not know must not be ignored (RFC 7515
  // section 4.1.11), and it knows none.
  if (header.contains("crit")) return fail(Error::SignatureInvalid);
  DetachedJws jws;
  jws.encoded_header = header_text;
  jws.kid = kid->get<std::string>();
  jws.signature = std::move(*signature);
  return jws;
}

}  // namespace

std::string base64Url(std::string_view bytes) {
  return crypto::base64UrlNoPad(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string encodedHeader(std::string_view kid) {
  // A thumbprint is Base64url: nothing in it needs escaping.
  return base64Url(fmt::format(R"({{"alg":"ES256","kid":"{}"}})", kid));
}

std::string signingInput(std::string_view encoded_header, std::string_view payload) {
  std::string input;
  input.reserve(encoded_header.size() + 1 + (payload.size() + 2) / 3 * 4);
  input += encoded_header;
  input += '.';
  input += base64Url(payload);
  return input;
}

std::string compact(std::string_view encoded_header, std::string_view signature) {
  return std::string(encoded_header) + ".." + base64Url(signature);
}

Result<std::string> signDetached(std::string_view encoded_header, std::string_view payload,
                                 const es256::SigningKey& key) {
  try {
    auto signature = key.sign(signingInput(encoded_header, payload));
    if (!signature) return fail(signature.error());
    return compact(encoded_header, *signature);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> signDetached(std::string_view payload, const es256::PrivateKey& key) {
  try {
    const auto signing_key = es256::SigningKey::decode(key);
    if (!signing_key) return fail(signing_key.error());
    return signDetached(encodedHeader(es256::thumbprint(key.point)), payload, *signing_key);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<DetachedJws> parseDetached(std::string_view text) noexcept {
  try {
    return parse(text);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  } catch (...) {
    return fail(Error::SignatureInvalid);
  }
}

bool verifyDetached(const DetachedJws& jws, std::string_view payload,
                    std::string_view point) noexcept {
  try {
    return es256::verify(point, signingInput(jws.encoded_header, payload), jws.signature);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace jws
