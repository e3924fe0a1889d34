#include "tavrine/base/crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstdlib>
#include <memory>
#include <string>

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

namespace {

struct MacContextDeleter {
  void operator()(EVP_MAC_CTX* context) const noexcept { EVP_MAC_CTX_free(context); }
};
using MacContext = std::unique_ptr<EVP_MAC_CTX, MacContextDeleter>;

// This thread's HMAC-SHA256 context. The one-shot HMAC() looks the MAC and
// the digest up in the provider tables on every call; here the MAC is
// fetched once for the process and each thread sets the digest once, so a
// signature costs only the keying and the hashing. A context is never used
// by two threads at once.
EVP_MAC_CTX* threadHmacContext() noexcept {
  static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  thread_local const MacContext context = [] {
    if (mac == nullptr) return MacContext();
    MacContext made(EVP_MAC_CTX_new(mac));
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_end()};
    if (made && EVP_MAC_CTX_set_params(made.get(), params) != 1) made.reset();
    return made;
  }();
  return context.get();
}

}  // namespace

Sha256Digest hmacSha256(std::string_view key, std::string_view message) noexcept {
  Sha256Digest mac{};
  size_t length = 0;
  EVP_MAC_CTX* context = threadHmacContext();
  // A non-null key pointer even for an empty key: a null key means "reuse
  // the previous one".
  static const unsigned char kEmpty = 0;
  const auto* key_bytes =
      key.empty() ? &kEmpty : reinterpret_cast<const unsigned char*>(key.data());
  if (context == nullptr || EVP_MAC_init(context, key_bytes, key.size(), nullptr) != 1 ||
      EVP_MAC_update(context, reinterpret_cast<const unsigned char*>(message.data()),
                     message.size()) != 1 ||
      EVP_MAC_final(context, mac.data(), &length, mac.size()) != 1 || length != mac.size()) {
    std::abort();  // Only fails when libcrypto itself is broken.
  }
  return mac;
}

std::string base64UrlNoPad(const uint8_t* bytes, size_t size) {
  // EVP_EncodeBlock writes the standard alphabet with padding and a NUL.
  std::string text(4 * ((size + 2) / 3) + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, static_cast<int>(size));
  text.resize(written < 0 ? 0 : static_cast<size_t>(written));
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

bool constantTimeEqual(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace crypto
