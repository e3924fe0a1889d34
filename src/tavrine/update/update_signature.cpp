#include "tavrine/update/update_signature.h"

#include "tavrine/base/jws.h"
#include "tavrine/update_keys.h"

#include <algorithm>
#include <charconv>
#include <new>

namespace update_signature {
namespace {

int readDigits(std::string_view text, size_t at, size_t count, bool& ok) {
  int value = 0;
  const char* begin = text.data() + at;
  const auto [end, ec] = std::from_chars(begin, begin + count, value);
  if (ec != std::errc() || end != begin + count ||
      !std::isdigit(static_cast<unsigned char>(*begin))) {
    ok = false;
  }
  return value;
}

}  // namespace

Result<SignatureFile> parseSignatureFile(std::string_view text) noexcept {
  if (text.size() > kSignatureFileLimit) return fail(Error::StreamTooLong);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  return jws::parseDetached(text);
}

Result<void> verifyManifest(std::string_view manifest, std::string_view signature_file,
                            std::span<const TrustedKey> keys) noexcept {
  try {
    auto file = parseSignatureFile(signature_file);
    if (!file) return fail(file.error());
    const auto key = std::find_if(keys.begin(), keys.end(),
                                  [&](const TrustedKey& k) { return k.kid == file->kid; });
    if (key == keys.end()) return fail(Error::UnknownSigningKey);
    // Built here rather than in jws::verifyDetached, so that a failed
    // allocation is named OutOfMemory and not taken for a bad signature.
    const std::string input = jws::signingInput(file->encoded_header, manifest);
    if (!es256::verify(key->point, input, file->signature)) return fail(Error::SignatureInvalid);
    return {};
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> signManifest(std::string_view manifest, const es256::PrivateKey& key) {
  return jws::signDetached(manifest, key);
}

Result<TrustedKey> trustedKey(std::string_view pem) {
  auto point = es256::publicKeyFromPem(pem);
  if (!point) return fail(point.error());
  return TrustedKey{es256::thumbprint(*point), std::move(*point)};
}

std::vector<TrustedKey> trustedKeys(Mode mode) {
  return trustedKeys(mode, update_keys::kConfigured);
}

std::vector<TrustedKey> trustedKeys(Mode mode, std::span<const std::string_view> configured) {
  std::vector<TrustedKey> keys;
  // The build checked that each is the PEM public key of a P-256 key, which
  // always reads.
  for (const std::string_view pem : configured) {
    if (auto key = trustedKey(pem)) keys.push_back(std::move(*key));
  }
  if (mode == Mode::dev) {
    if (auto key = trustedKey(update_keys::kDevelopment)) keys.push_back(std::move(*key));
  }
  return keys;
}

Result<std::chrono::sys_seconds> parseTimestamp(std::string_view text) noexcept {
  using namespace std::chrono;
  // YYYY-MM-DDTHH:MM:SS[.fraction]Z
  if (text.size() < 20 || text[4] != '-' || text[7] != '-' ||
      (text[10] != 'T' && text[10] != 't') || text[13] != ':' || text[16] != ':' ||
      (text.back() != 'Z' && text.back() != 'z')) {
    return fail(Error::InvalidResponse);
  }
  const std::string_view fraction = text.substr(19, text.size() - 20);
  if (!fraction.empty() &&
      (fraction.size() < 2 || fraction[0] != '.' ||
       fraction.find_first_not_of("0123456789", 1) != std::string_view::npos)) {
    return fail(Error::InvalidResponse);
  }
  bool ok = true;
  const int y = readDigits(text, 0, 4, ok);
  const int mo = readDigits(text, 5, 2, ok);
  const int d = readDigits(text, 8, 2, ok);
  const int h = readDigits(text, 11, 2, ok);
  const int mi = readDigits(text, 14, 2, ok);
  const int s = readDigits(text, 17, 2, ok);
  const year_month_day date{year{y}, month{static_cast<unsigned>(mo)},
                            day{static_cast<unsigned>(d)}};
  // A leap second (60) is allowed by the format and read as the next second.
  if (!ok || !date.ok() || h > 23 || mi > 59 || s > 60) return fail(Error::InvalidResponse);
  return sys_days{date} + hours{h} + minutes{mi} + seconds{s};
}

Result<void> checkSignedManifest(const updater::UpdateManifest& manifest,
                                 std::chrono::system_clock::time_point now) {
  if (!manifest.expires) return fail(Error::MissingField);
  const auto expires = parseTimestamp(*manifest.expires);
  if (!expires) return fail(expires.error());
  if (*expires <= now) return fail(Error::ManifestExpired);
  if (!manifest.sha256 || !manifest.size) return fail(Error::MissingField);
  return {};
}

}  // namespace update_signature
