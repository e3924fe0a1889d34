#include "tavrine/base/crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <array>
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
// fetched once for the process and each thread sets the digest once. The
// key of the last signature is kept beside it: signing again with the same
// key (the device token, every cycle) reuses the keyed state instead of
// hashing the padded key twice more. A context is never used by two threads
// at once.
class ThreadHmac {
 public:
  ThreadHmac() noexcept {
    static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (mac == nullptr) return;
    context_.reset(EVP_MAC_CTX_new(mac));
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_end()};
    if (context_ && EVP_MAC_CTX_set_params(context_.get(), params) != 1) context_.reset();
  }
  ThreadHmac(const ThreadHmac&) = delete;
  ThreadHmac& operator=(const ThreadHmac&) = delete;
  ~ThreadHmac() { OPENSSL_cleanse(key_.data(), key_.size()); }

  // Ready for a message under `key`; false when libcrypto failed.
  bool start(std::string_view key) noexcept {
    if (!context_) return false;
    if (keyed_ && key.size() == key_size_ &&
        CRYPTO_memcmp(key.data(), key_.data(), key.size()) == 0) {
      // A null key restarts the context with the key it holds.
      return EVP_MAC_init(context_.get(), nullptr, 0, nullptr) == 1;
    }
    keyed_ = false;
    // A non-null key pointer even for an empty key: a null one would mean
    // "the previous key".
    static const unsigned char kEmpty = 0;
    const auto* bytes = key.empty() ? &kEmpty : reinterpret_cast<const unsigned char*>(key.data());
    if (EVP_MAC_init(context_.get(), bytes, key.size(), nullptr) != 1) return false;
    // A key too long to keep here is simply keyed again next time.
    if (key.size() <= key_.size()) {
      OPENSSL_cleanse(key_.data(), key_.size());
      std::copy(key.begin(), key.end(), key_.begin());
      key_size_ = key.size();
      keyed_ = true;
    }
    return true;
  }

  [[nodiscard]] EVP_MAC_CTX* context() const noexcept { return context_.get(); }

 private:
  MacContext context_;
  std::array<char, 256> key_{};
  size_t key_size_ = 0;
  bool keyed_ = false;
};

}  // namespace

Sha256Digest hmacSha256(std::string_view key, std::string_view message) noexcept {
  thread_local ThreadHmac hmac;
  Sha256Digest mac{};
  size_t length = 0;
  if (!hmac.start(key) ||
      EVP_MAC_update(hmac.context(), reinterpret_cast<const unsigned char*>(message.data()),
                     message.size()) != 1 ||
      EVP_MAC_final(hmac.context(), mac.data(), &length, mac.size()) != 1 || length != mac.size()) {
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
