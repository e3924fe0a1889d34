#include "tavrine/base/es256.h"

#include "tavrine/base/cf_owned_darwin.h"

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <memory>
#include <new>

namespace es256 {
namespace {

using cf::Owned;

Owned<CFDataRef> cfData(std::string_view bytes) {
  return Owned<CFDataRef>(CFDataCreate(kCFAllocatorDefault,
                                       reinterpret_cast<const UInt8*>(bytes.data()),
                                       static_cast<CFIndex>(bytes.size())));
}

std::string bytesOf(CFDataRef data) {
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                     static_cast<size_t>(CFDataGetLength(data)));
}

// A P-256 key from its X9.63 form: the point, followed by the scalar for a
// private key.
Owned<SecKeyRef> makeKey(std::string_view x963, bool is_private) {
  const auto key_data = cfData(x963);
  const void* keys[] = {kSecAttrKeyType, kSecAttrKeyClass};
  const void* values[] = {kSecAttrKeyTypeECSECPrimeRandom,
                          is_private ? kSecAttrKeyClassPrivate : kSecAttrKeyClassPublic};
  const Owned<CFDictionaryRef> attributes(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 2,
                                                             &kCFTypeDictionaryKeyCallBacks,
                                                             &kCFTypeDictionaryValueCallBacks));
  if (!key_data || !attributes) return nullptr;
  CFErrorRef error = nullptr;
  Owned<SecKeyRef> key(SecKeyCreateWithData(key_data.get(), attributes.get(), &error));
  const Owned<CFErrorRef> release_error(error);
  return key;
}

}  // namespace

// The key as the Security framework holds it; a Secure Enclave key would be
// held the same way, taken from its SecKeyRef instead of decoded.
struct SigningKey::Platform {
  Owned<SecKeyRef> key;
};

bool verify(std::string_view point, std::string_view message, std::string_view signature) noexcept {
  try {
    if (point.size() != kPointSize) return false;
    const auto der_signature = derFromRaw(signature);
    if (!der_signature) return false;
    const auto key = makeKey(point, false);
    const auto signed_data = cfData(message);
    const auto signature_data = cfData(*der_signature);
    if (!key || !signed_data || !signature_data) return false;
    CFErrorRef error = nullptr;
    const bool valid =
        SecKeyVerifySignature(key.get(), kSecKeyAlgorithmECDSASignatureMessageX962SHA256,
                              signed_data.get(), signature_data.get(), &error) != 0;
    const Owned<CFErrorRef> release_error(error);
    return valid;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::shared_ptr<const SigningKey::Platform> SigningKey::decodePlatform(const PrivateKey& key) {
  auto decoded = makeKey(key.point + key.scalar, true);
  if (!decoded) return nullptr;
  return std::make_shared<const Platform>(Platform{std::move(decoded)});
}

Result<std::string> SigningKey::signDer(const Platform& platform, std::string_view message) {
  const auto message_data = cfData(message);
  if (!message_data) return fail(Error::OutOfMemory);
  CFErrorRef error = nullptr;
  // The message algorithm hashes with SHA-256 itself; its signature is DER.
  const Owned<CFDataRef> signature(
      SecKeyCreateSignature(platform.key.get(), kSecKeyAlgorithmECDSASignatureMessageX962SHA256,
                            message_data.get(), &error));
  const Owned<CFErrorRef> release_error(error);
  if (!signature) return fail(Error::InvalidKey);
  return bytesOf(signature.get());
}

Result<PrivateKey> generate() noexcept {
  try {
    // Not kept in any keychain (kSecAttrIsPermanent is false by default):
    // whoever asks for a key keeps it.
    const int bits = 256;
    const Owned<CFNumberRef> size(CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &bits));
    if (!size) return fail(Error::OutOfMemory);
    const void* keys[] = {kSecAttrKeyType, kSecAttrKeySizeInBits};
    const void* values[] = {kSecAttrKeyTypeECSECPrimeRandom, size.get()};
    const Owned<CFDictionaryRef> parameters(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 2,
                                                               &kCFTypeDictionaryKeyCallBacks,
                                                               &kCFTypeDictionaryValueCallBacks));
    if (!parameters) return fail(Error::OutOfMemory);
    CFErrorRef error = nullptr;
    const Owned<SecKeyRef> key(SecKeyCreateRandomKey(parameters.get(), &error));
    const Owned<CFErrorRef> release_error(error);
    if (!key) return fail(Error::SystemResources);
    CFErrorRef export_error = nullptr;
    const Owned<CFDataRef> x963(SecKeyCopyExternalRepresentation(key.get(), &export_error));
    const Owned<CFErrorRef> release_export_error(export_error);
    if (!x963) return fail(Error::Unexpected);
    // The uncompressed point, then the scalar.
    const std::string bytes = bytesOf(x963.get());
    if (bytes.size() != kPointSize + kScalarSize || bytes[0] != '\x04') {
      return fail(Error::Unexpected);
    }
    return PrivateKey{bytes.substr(0, kPointSize), bytes.substr(kPointSize)};
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace es256
