// Mirrors <CommonCrypto/CommonHMAC.h> of Apple's SDK: the algorithms and the
// one-shot HMAC.
#pragma once

#include <CommonCrypto/CommonDigest.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  kCCHmacAlgSHA1,
  kCCHmacAlgMD5,
  kCCHmacAlgSHA256,
  kCCHmacAlgSHA384,
  kCCHmacAlgSHA512,
  kCCHmacAlgSHA224
};
typedef uint32_t CCHmacAlgorithm;

void CCHmac(CCHmacAlgorithm algorithm, const void* key, size_t keyLength, const void* data,
            size_t dataLength, void* macOut);

#ifdef __cplusplus
}
#endif
