#include "tavrine/base/es256.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <new>

namespace es256 {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct ContextFree {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;

const unsigned char* bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

bool verify(std::string_view point, std::string_view message, std::string_view signature) noexcept {
  try {
    if (point.size() != kPointSize) return false;
    const auto der_signature = derFromRaw(signature);
    if (!der_signature) return false;
    const std::string der = publicKeyDer(point);
    const unsigned char* cursor = bytes(der);
    // Decoding the point checks that it lies on the curve.
    const Key key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())));
    const Context context(EVP_MD_CTX_new());
    if (!key || !context) return false;
    return EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), bytes(*der_signature), der_signature->size(),
                            bytes(message), message.size()) == 1;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

struct SigningKey::Platform {
  Key key;
};

std::shared_ptr<const SigningKey::Platform> SigningKey::decodePlatform(const PrivateKey& key) {
  const std::string der = privateKeyDer(key);
  const unsigned char* cursor = bytes(der);
  Key decoded(d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(der.size())));
  if (!decoded) return nullptr;
  return std::make_shared<const Platform>(Platform{std::move(decoded)});
}

Result<std::string> SigningKey::signDer(const Platform& platform, std::string_view message) {
  const Context context(EVP_MD_CTX_new());
  if (!context) return fail(Error::OutOfMemory);
  size_t length = 0;
  if (EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, platform.key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &length, bytes(message), message.size()) != 1) {
    return fail(Error::InvalidKey);
  }
  std::string signature(length, '\0');
  if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     bytes(message), message.size()) != 1) {
    return fail(Error::InvalidKey);
  }
  signature.resize(length);
  return signature;
}

Result<PrivateKey> generate() noexcept {
  try {
    const Key key(EVP_EC_gen("P-256"));
    if (!key) return fail(Error::SystemResources);
    // SEC 1 with the curve named and the public point.
    unsigned char* der = nullptr;
    const int length = i2d_PrivateKey(key.get(), &der);
    if (length <= 0) return fail(Error::Unexpected);
    const std::string copy(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
    OPENSSL_clear_free(der, static_cast<size_t>(length));
    return privateKeyFromDer(copy);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace es256
