#pragma once

#include "tavrine/base/error.h"
#include "tavrine/base/es256.h"

#include <string>
#include <string_view>

// The platform's own P-256 operations for the device key: OpenSSL's EVP on
// Linux (device_key_os_linux.cpp), the Security framework on macOS
// (device_key_os_darwin.cpp), where the same calls will later take a key held
// in the Secure Enclave.
namespace device_key_os {

// A new key pair from the platform's random source. SystemResources when the
// platform makes none; OutOfMemory.
[[nodiscard]] Result<es256::PrivateKey> generate() noexcept;

// The r‖s signature of `message` (SHA-256, then ECDSA) by `key`. InvalidKey
// when the platform refuses the key; OutOfMemory.
[[nodiscard]] Result<std::string> sign(const es256::PrivateKey& key,
                                       std::string_view message) noexcept;

}  // namespace device_key_os
