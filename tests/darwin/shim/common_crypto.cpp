// CommonCrypto's one-shot SHA-256 and HMAC over libcrypto, so that the Darwin
// crypto file runs here. Test-only: the product uses the real CommonCrypto on
// macOS and libcrypto directly on Linux.
#include <CommonCrypto/CommonDigest.h>
#include <CommonCrypto/CommonHMAC.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void shimFailure(const char* what) {
  std::fprintf(stderr, "CommonCrypto shim: %s\n", what);
  std::abort();
}

// CommonCrypto takes a null pointer with a zero length; libcrypto's HMAC()
// reads a null key as "reuse the previous one".
const void* bytesOrEmpty(const void* bytes) {
  static const unsigned char kEmpty = 0;
  return bytes != nullptr ? bytes : &kEmpty;
}

}  // namespace

extern "C" unsigned char* CC_SHA256(const void* data, CC_LONG len, unsigned char* md) {
  unsigned int length = 0;
  if (EVP_Digest(bytesOrEmpty(data), len, md, &length, EVP_sha256(), nullptr) != 1 ||
      length != CC_SHA256_DIGEST_LENGTH) {
    shimFailure("SHA-256 failed in libcrypto");
  }
  return md;
}

extern "C" void CCHmac(CCHmacAlgorithm algorithm, const void* key, size_t keyLength,
                       const void* data, size_t dataLength, void* macOut) {
  if (algorithm != kCCHmacAlgSHA256) shimFailure("only kCCHmacAlgSHA256 is provided");
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), bytesOrEmpty(key), static_cast<int>(keyLength),
           static_cast<const unsigned char*>(bytesOrEmpty(data)), dataLength,
           static_cast<unsigned char*>(macOut), &length) == nullptr ||
      length != CC_SHA256_DIGEST_LENGTH) {
    shimFailure("HMAC-SHA256 failed in libcrypto");
  }
}
