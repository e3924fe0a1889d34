// Mirrors <CommonCrypto/CommonDigest.h> of Apple's SDK: the SHA-256 one-shot
// digest.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t CC_LONG;   /* 32 bit unsigned integer */
typedef uint64_t CC_LONG64; /* 64 bit unsigned integer */

#define CC_SHA256_DIGEST_LENGTH 32 /* digest length in bytes */
#define CC_SHA256_BLOCK_BYTES 64   /* block size in bytes */

extern unsigned char* CC_SHA256(const void* data, CC_LONG len, unsigned char* md);

#ifdef __cplusplus
}
#endif
