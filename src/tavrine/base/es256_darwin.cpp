#include "tavrine/base/es256.h"

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <memory>
#include <new>
#include <type_traits>

namespace es256 {
namespace {

// Owns one Core Foundation reference.
struct CfRelease {
  void operator()(const void* object) const noexcept {
    if (object != nullptr) CFRelease(object);
  }
};
template <class Ref>
using Cf = std::unique_ptr<std::remove_pointer_t<Ref>, CfRelease>;

Cf<CFDataRef> cfData(std::string_view bytes) {
  return Cf<CFDataRef>(CFDataCreate(kCFAllocatorDefault,
                                    reinterpret_cast<const UInt8*>(bytes.data()),
                                    static_cast<CFIndex>(bytes.size())));
}

std::string bytesOf(CFDataRef data) {
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                     static_cast<size_t>(CFDataGetLength(data)));
}

// A P-256 key from its X9.63 form: the point, followed by the scalar for a
// private key.
Cf<SecKeyRef> makeKey(std::string_view x963, bool is_private) {
  const auto key_data = cfData(x963);
  const void* keys[] = {kSecAttrKeyType, kSecAttrKeyClass};
  const void* values[] = {kSecAttrKeyTypeECSECPrimeRandom,
                          is_private ? kSecAttrKeyClassPrivate : kSecAttrKeyClassPublic};
  const Cf<CFDictionaryRef> attributes(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 2,
                                                          &kCFTypeDictionaryKeyCallBacks,
                                                          &kCFTypeDictionaryValueCallBacks));
  if (!key_data || !attributes) return nullptr;
  CFErrorRef error = nullptr;
  Cf<SecKeyRef> key(SecKeyCreateWithData(key_data.get(), attributes.get(), &error));
  const Cf<CFErrorRef> release_error(error);
  return key;
}

}  // namespace

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
    const Cf<CFErrorRef> release_error(error);
    return valid;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

Result<std::string> sign(const PrivateKey& key, std::string_view message) noexcept {
  try {
    if (key.point.size() != kPointSize || key.scalar.size() != kScalarSize) {
      return fail(Error::InvalidKey);
    }
    const auto private_key = makeKey(key.point + key.scalar, true);
    if (!private_key) return fail(Error::InvalidKey);
    const auto message_data = cfData(message);
    if (!message_data) return fail(Error::OutOfMemory);
    CFErrorRef error = nullptr;
    const Cf<CFDataRef> signature(
        SecKeyCreateSignature(private_key.get(), kSecKeyAlgorithmECDSASignatureMessageX962SHA256,
                              message_data.get(), &error));
    const Cf<CFErrorRef> release_error(error);
    if (!signature) return fail(Error::InvalidKey);
    auto raw = rawFromDer(bytesOf(signature.get()));
    if (!raw) return fail(Error::Unexpected);
    return std::move(*raw);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<PrivateKey> generate() noexcept {
  try {
    const int bits = 256;
    const Cf<CFNumberRef> size(CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &bits));
    if (!size) return fail(Error::OutOfMemory);
    const void* keys[] = {kSecAttrKeyType, kSecAttrKeySizeInBits};
    const void* values[] = {kSecAttrKeyTypeECSECPrimeRandom, size.get()};
    const Cf<CFDictionaryRef> parameters(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 2,
                                                            &kCFTypeDictionaryKeyCallBacks,
                                                            &kCFTypeDictionaryValueCallBacks));
    if (!parameters) return fail(Error::OutOfMemory);
    CFErrorRef error = nullptr;
    const Cf<SecKeyRef> key(SecKeyCreateRandomKey(parameters.get(), &error));
    const Cf<CFErrorRef> release_error(error);
    if (!key) return fail(Error::SystemResources);
    CFErrorRef export_error = nullptr;
    const Cf<CFDataRef> x963(SecKeyCopyExternalRepresentation(key.get(), &export_error));
    const Cf<CFErrorRef> release_export_error(export_error);
    if (!x963) return fail(Error::Unexpected);
    // The point, then the scalar.
    const std::string bytes = bytesOf(x963.get());
    if (bytes.size() != kPointSize + kScalarSize) return fail(Error::Unexpected);
    return PrivateKey{bytes.substr(0, kPointSize), bytes.substr(kPointSize)};
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace es256
