#pragma once

#include "tavrine/error.h"
#include "tavrine/collector.h"

#include <string>
#include <string_view>

// The tavrine report: the 32-line JSON template filled from a
// DeviceTavrine, and its HMAC-SHA256 signature for the X-Signature header.
namespace agent {

// The built-in 34-byte signing key, the same in both modes.
inline constexpr std::string_view kSigningKey = "sample-hmac-key-for-local-test-001";

// Appends `value` to `out` as the inside of a JSON string: '"', '\\' and the
// control characters below 0x20 are escaped (\" \\ \n \r \t \b \f, \u00XX for
// the rest); every other byte is copied unchanged, so ordinary reports keep
// their exact bytes while unusual host names or tool output stay valid JSON.
void appendJsonEscaped(std::string& out, std::string_view value);

// The report bytes: 32 lines joined by "\n", no final line feed. Only
// OutOfMemory.
[[nodiscard]] Result<std::string> serializeTavrine(const DeviceTavrine& record);

// 64 lowercase hexadecimal characters: HMAC-SHA256 of `payload` under `key`
// (kSigningKey unless a test gives another). Only OutOfMemory.
[[nodiscard]] Result<std::string> signPayload(std::string_view payload,
                                              std::string_view key = kSigningKey);

}  // namespace agent
