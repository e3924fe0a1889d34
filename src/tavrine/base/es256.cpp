#include "tavrine/base/es256.h"

#include "tavrine/base/crypto.h"

#include <fmt/format.h>

#include <array>
#include <cstdint>
#include <new>

namespace es256 {
namespace {

// The fixed DER around a P-256 key. SubjectPublicKeyInfo: the EC and P-256
// object identifiers, then the point as a BIT STRING.
constexpr std::string_view kSpkiPrefix(
    "\x30\x59\x30\x13\x06\x07\x2a\x86\x48\xce\x3d\x02\x01\x06\x08\x2a\x86\x48\xce\x3d\x03\x01\x07"
    "\x03\x42\x00",
    26);
// PKCS #8 wrapping a SEC 1 key without parameters: prefix, scalar, middle,
// point.
constexpr std::string_view kPkcs8Prefix(
    "\x30\x81\x87\x02\x01\x00\x30\x13\x06\x07\x2a\x86\x48\xce\x3d\x02\x01\x06\x08\x2a\x86\x48\xce"
    "\x3d\x03\x01\x07\x04\x6d\x30\x6b\x02\x01\x01\x04\x20",
    36);
constexpr std::string_view kPkcs8Middle("\xa1\x44\x03\x42\x00", 5);
// SEC 1 with the curve named.
constexpr std::string_view kSec1Prefix("\x30\x77\x02\x01\x01\x04\x20", 7);
constexpr std::string_view kSec1Middle(
    "\xa0\x0a\x06\x08\x2a\x86\x48\xce\x3d\x03\x01\x07\xa1\x44\x03\x42\x00", 17);

std::string base64(std::string_view bytes) {
  std::string text =
      crypto::base64UrlNoPad(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  for (char& c : text) {
    if (c == '-') c = '+';
    if (c == '_') c = '/';
  }
  while (text.size() % 4 != 0) text += '=';
  return text;
}

std::string pem(std::string_view label, std::string_view der) {
  const std::string body = base64(der);
  std::string text = fmt::format("-----BEGIN {}-----\n", label);
  for (size_t at = 0; at < body.size(); at += 64) {
    text += body.substr(at, 64);
    text += '\n';
  }
  text += fmt::format("-----END {}-----\n", label);
  return text;
}

// The DER between the "-----BEGIN {label}-----" and "-----END {label}-----"
// lines, with the line breaks of the Base64 removed.
std::optional<std::string> pemBody(std::string_view text, std::string_view label) {
  const std::string begin = fmt::format("-----BEGIN {}-----", label);
  const std::string end = fmt::format("-----END {}-----", label);
  const size_t start = text.find(begin);
  if (start == std::string_view::npos) return std::nullopt;
  const size_t stop = text.find(end, start + begin.size());
  if (stop == std::string_view::npos) return std::nullopt;
  std::string body;
  for (const char c : text.substr(start + begin.size(), stop - start - begin.size())) {
    if (c != '\n' && c != '\r' && c != ' ' && c != '\t') body += c;
  }
  return base64Decode(body, false);
}

bool isPoint(std::string_view point) { return point.size() == kPointSize && point[0] == '\x04'; }

// One INTEGER of a DER signature as 32 big-endian bytes.
std::optional<std::string> readInteger(std::string_view& der) {
  if (der.size() < 2 || der[0] != '\x02') return std::nullopt;
  const size_t length = static_cast<unsigned char>(der[1]);
  if (length == 0 || length > 33 || der.size() < 2 + length) return std::nullopt;
  std::string_view value = der.substr(2, length);
  der.remove_prefix(2 + length);
  if (value[0] & 0x80) return std::nullopt;                                          // negative
  if (value.size() > 1 && value[0] == 0 && !(value[1] & 0x80)) return std::nullopt;  // not minimal
  if (value.size() == 33) {
    if (value[0] != 0) return std::nullopt;  // larger than any scalar
    value.remove_prefix(1);
  }
  return std::string(32 - value.size(), '\0') + std::string(value);
}

void appendInteger(std::string& der, std::string_view value) {
  while (value.size() > 1 && value[0] == 0) value.remove_prefix(1);
  der += '\x02';
  const bool pad = (static_cast<unsigned char>(value[0]) & 0x80) != 0;
  der += static_cast<char>(value.size() + (pad ? 1 : 0));
  if (pad) der += '\0';
  der += value;
}

}  // namespace

Result<SigningKey> SigningKey::decode(const PrivateKey& key) noexcept {
  try {
    if (key.point.size() != kPointSize || key.scalar.size() != kScalarSize) {
      return fail(Error::InvalidKey);
    }
    SigningKey signing_key;
    signing_key.platform_ = decodePlatform(key);
    if (!signing_key.platform_) return fail(Error::InvalidKey);
    return signing_key;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> SigningKey::sign(std::string_view message) const noexcept {
  try {
    if (!platform_) return fail(Error::InvalidKey);
    const auto der = signDer(*platform_, message);
    if (!der) return fail(der.error());
    auto raw = rawFromDer(*der);
    if (!raw) return fail(Error::Unexpected);
    return std::move(*raw);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> sign(const PrivateKey& key, std::string_view message) noexcept {
  auto signing_key = SigningKey::decode(key);
  if (!signing_key) return fail(signing_key.error());
  return signing_key->sign(message);
}

Result<std::string> publicKeyFromPem(std::string_view text) {
  const auto der = pemBody(text, "PUBLIC KEY");
  if (!der || der->size() != kSpkiPrefix.size() + kPointSize || !der->starts_with(kSpkiPrefix)) {
    return fail(Error::InvalidKey);
  }
  std::string point = der->substr(kSpkiPrefix.size());
  if (!isPoint(point)) return fail(Error::InvalidKey);
  return point;
}

Result<PrivateKey> privateKeyFromDer(std::string_view der) {
  PrivateKey key;
  for (const auto& [prefix, middle] :
       {std::pair{kPkcs8Prefix, kPkcs8Middle}, std::pair{kSec1Prefix, kSec1Middle}}) {
    if (der.size() != prefix.size() + kScalarSize + middle.size() + kPointSize ||
        !der.starts_with(prefix) ||
        der.substr(prefix.size() + kScalarSize, middle.size()) != middle) {
      continue;
    }
    key.scalar = der.substr(prefix.size(), kScalarSize);
    key.point = der.substr(prefix.size() + kScalarSize + middle.size());
    if (!isPoint(key.point)) return fail(Error::InvalidKey);
    return key;
  }
  return fail(Error::InvalidKey);
}

Result<PrivateKey> privateKeyFromPem(std::string_view text) {
  auto der = pemBody(text, "PRIVATE KEY");
  if (!der) der = pemBody(text, "EC PRIVATE KEY");
  if (!der) return fail(Error::InvalidKey);
  return privateKeyFromDer(*der);
}

std::string publicKeyDer(std::string_view point) {
  return std::string(kSpkiPrefix) + std::string(point);
}

std::string privateKeyDer(const PrivateKey& key) {
  return std::string(kPkcs8Prefix) + key.scalar + std::string(kPkcs8Middle) + key.point;
}

std::string publicKeyPem(std::string_view point) { return pem("PUBLIC KEY", publicKeyDer(point)); }

std::string privateKeyPem(const PrivateKey& key) { return pem("PRIVATE KEY", privateKeyDer(key)); }

std::string thumbprint(std::string_view point) {
  const auto encode = [](std::string_view bytes) {
    return crypto::base64UrlNoPad(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  };
  // The required members in lexicographic order, without white space.
  const std::string jwk = fmt::format(R"({{"crv":"P-256","kty":"EC","x":"{}","y":"{}"}})",
                                      encode(point.substr(1, 32)), encode(point.substr(33, 32)));
  return crypto::base64UrlNoPad(crypto::sha256(jwk));
}

std::optional<std::string> derFromRaw(std::string_view raw) {
  if (raw.size() != kSignatureSize) return std::nullopt;
  std::string body;
  appendInteger(body, raw.substr(0, 32));
  appendInteger(body, raw.substr(32));
  return std::string("\x30", 1) + static_cast<char>(body.size()) + body;
}

std::optional<std::string> rawFromDer(std::string_view der) {
  if (der.size() < 2 || der[0] != '\x30' || static_cast<unsigned char>(der[1]) != der.size() - 2) {
    return std::nullopt;
  }
  der.remove_prefix(2);
  auto r = readInteger(der);
  auto s = readInteger(der);
  if (!r || !s || !der.empty()) return std::nullopt;
  return *r + *s;
}

std::optional<std::string> base64Decode(std::string_view text, bool url_safe) {
  const std::string_view alphabet =
      url_safe ? "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
               : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (!url_safe && text.size() % 4 != 0) return std::nullopt;
  if (!url_safe) {
    // At most two "=", and only at the end.
    size_t padding = 0;
    while (padding < 2 && text.size() > padding && text[text.size() - 1 - padding] == '=') {
      ++padding;
    }
    text.remove_suffix(padding);
  }
  if (text.size() % 4 == 1) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() * 3 / 4);
  uint32_t group = 0;
  int bits = 0;
  for (const char c : text) {
    const size_t value = alphabet.find(c);
    if (value == std::string_view::npos) return std::nullopt;
    group = (group << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes += static_cast<char>((group >> bits) & 0xff);
    }
  }
  // The bits left over must be zero: each text has one encoding only.
  if ((group & ((1u << bits) - 1)) != 0) return std::nullopt;
  return bytes;
}

}  // namespace es256
