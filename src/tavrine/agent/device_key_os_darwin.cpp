#include "tavrine/agent/device_key_os.h"

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <memory>
#include <new>
#include <type_traits>

namespace device_key_os {
namespace {

struct CfRelease {
  void operator()(CFTypeRef object) const noexcept {
    if (object != nullptr) CFRelease(object);
  }
};
template <class Ref>
using Owned = std::unique_ptr<std::remove_pointer_t<Ref>, CfRelease>;

// Takes the error a Security call may hand back, so that it is released.
class ErrorOut {
 public:
  ErrorOut() = default;
  ErrorOut(const ErrorOut&) = delete;
  ErrorOut& operator=(const ErrorOut&) = delete;
  ~ErrorOut() {
    if (error_ != nullptr) CFRelease(error_);
  }
  CFErrorRef* out() noexcept { return &error_; }

 private:
  CFErrorRef error_ = nullptr;
};

Owned<CFDataRef> dataOf(std::string_view bytes) {
  return Owned<CFDataRef>(CFDataCreate(kCFAllocatorDefault,
                                       reinterpret_cast<const UInt8*>(bytes.data()),
                                       static_cast<CFIndex>(bytes.size())));
}

std::string bytesOf(CFDataRef data) {
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                     static_cast<size_t>(CFDataGetLength(data)));
}

// A dictionary of `count` key and value pairs, retained by the dictionary.
Owned<CFDictionaryRef> dictionary(const void** keys, const void** values, CFIndex count) {
  return Owned<CFDictionaryRef>(CFDictionaryCreate(kCFAllocatorDefault, keys, values, count,
                                                   &kCFTypeDictionaryKeyCallBacks,
                                                   &kCFTypeDictionaryValueCallBacks));
}

// The private key of the platform for `key`, from its X9.63 form (the
// public point, then the scalar): what SecKeyCopyExternalRepresentation
// gives and SecKeyCreateWithData takes.
Owned<SecKeyRef> platformKey(const es256::PrivateKey& key) {
  const auto external = dataOf(key.point + key.scalar);
  if (!external) return nullptr;
  const void* keys[] = {kSecAttrKeyType, kSecAttrKeyClass};
  const void* values[] = {kSecAttrKeyTypeECSECPrimeRandom, kSecAttrKeyClassPrivate};
  const auto attributes = dictionary(keys, values, 2);
  if (!attributes) return nullptr;
  ErrorOut error;
  return Owned<SecKeyRef>(SecKeyCreateWithData(external.get(), attributes.get(), error.out()));
}

}  // namespace

Result<es256::PrivateKey> generate() noexcept {
  try {
    // Not kept in any keychain (kSecAttrIsPermanent is false by default):
    // the agent keeps the key in its own file.
    const int bits = 256;
    const Owned<CFNumberRef> size(CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &bits));
    if (!size) return fail(Error::OutOfMemory);
    const void* keys[] = {kSecAttrKeyType, kSecAttrKeySizeInBits};
    const void* values[] = {kSecAttrKeyTypeECSECPrimeRandom, size.get()};
    const auto parameters = dictionary(keys, values, 2);
    if (!parameters) return fail(Error::OutOfMemory);
    ErrorOut error;
    const Owned<SecKeyRef> key(SecKeyCreateRandomKey(parameters.get(), error.out()));
    if (!key) return fail(Error::SystemResources);
    ErrorOut export_error;
    const Owned<CFDataRef> external(
        SecKeyCopyExternalRepresentation(key.get(), export_error.out()));
    if (!external) return fail(Error::SystemResources);
    const std::string bytes = bytesOf(external.get());
    if (bytes.size() != es256::kPointSize + es256::kScalarSize || bytes[0] != '\x04') {
      return fail(Error::Unexpected);
    }
    return es256::PrivateKey{bytes.substr(0, es256::kPointSize), bytes.substr(es256::kPointSize)};
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> sign(const es256::PrivateKey& key, std::string_view message) noexcept {
  try {
    if (key.point.size() != es256::kPointSize || key.scalar.size() != es256::kScalarSize) {
      return fail(Error::InvalidKey);
    }
    const auto platform_key = platformKey(key);
    if (!platform_key) return fail(Error::InvalidKey);
    const auto data = dataOf(message);
    if (!data) return fail(Error::OutOfMemory);
    ErrorOut error;
    // The message algorithm hashes with SHA-256 itself; its signature is DER.
    const Owned<CFDataRef> der(
        SecKeyCreateSignature(platform_key.get(), kSecKeyAlgorithmECDSASignatureMessageX962SHA256,
                              data.get(), error.out()));
    if (!der) return fail(Error::InvalidKey);
    auto raw = es256::rawFromDer(bytesOf(der.get()));
    if (!raw) return fail(Error::Unexpected);
    return std::move(*raw);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace device_key_os
