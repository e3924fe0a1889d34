// Mirrors <Security/Security.h> of Apple's SDK (SecKey.h, SecItem.h,
// SecStaticCode.h, SecRequirement.h, CSCommon.h, SecBase.h): elliptic-curve
// keys and their signatures, and the static check of a code signature.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  errSecSuccess = 0,
};

typedef struct __SecKey* SecKeyRef;
typedef CFStringRef SecKeyAlgorithm;

extern const CFStringRef kSecAttrKeyType;
extern const CFStringRef kSecAttrKeyTypeECSECPrimeRandom;
extern const CFStringRef kSecAttrKeyClass;
extern const CFStringRef kSecAttrKeyClassPublic;
extern const CFStringRef kSecAttrKeyClassPrivate;
extern const CFStringRef kSecAttrKeySizeInBits;

extern const SecKeyAlgorithm kSecKeyAlgorithmECDSASignatureMessageX962SHA256;

extern SecKeyRef SecKeyCreateRandomKey(CFDictionaryRef parameters, CFErrorRef* error);
extern SecKeyRef SecKeyCreateWithData(CFDataRef keyData, CFDictionaryRef attributes,
                                      CFErrorRef* error);
extern CFDataRef SecKeyCopyExternalRepresentation(SecKeyRef key, CFErrorRef* error);
extern CFDataRef SecKeyCreateSignature(SecKeyRef key, SecKeyAlgorithm algorithm,
                                       CFDataRef dataToSign, CFErrorRef* error);
extern Boolean SecKeyVerifySignature(SecKeyRef key, SecKeyAlgorithm algorithm,
                                     CFDataRef signedData, CFDataRef signature,
                                     CFErrorRef* error);

typedef uint32_t SecCSFlags;
enum {
  kSecCSDefaultFlags = 0,
};
enum {
  kSecCSCheckAllArchitectures = 1 << 0,
  kSecCSStrictValidate = 1 << 4,
  kSecCSCheckNestedCode = 1 << 3,
};
typedef const struct __SecCode* SecStaticCodeRef;
typedef struct __SecRequirement* SecRequirementRef;

extern OSStatus SecStaticCodeCreateWithPath(CFURLRef path, SecCSFlags flags,
                                            SecStaticCodeRef* staticCode);
extern OSStatus SecRequirementCreateWithString(CFStringRef text, SecCSFlags flags,
                                               SecRequirementRef* requirement);
extern OSStatus SecStaticCodeCheckValidity(SecStaticCodeRef staticCode, SecCSFlags flags,
                                           SecRequirementRef requirement);

#ifdef __cplusplus
}
#endif
