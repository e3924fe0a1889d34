#pragma once

#include "tavrine/collect/collector.h"
#include "tavrine/base/config.h"
#include "tavrine/base/error.h"

#include <optional>
#include <string>
#include <string_view>

// The tavrine report: the 32-line JSON template filled from a
// DeviceTavrine, and its HMAC-SHA256 signature for the X-Signature header.
namespace agent {

// The built-in 34-byte signing key of the development mode (the production
// mode's is Config::signing_key, fixed when the build is configured).
inline constexpr std::string_view kSigningKey = kDevelopmentSigningKey;

// Appends `value` to `out` as the inside of a JSON string: '"', '\\' and the
// control characters below 0x20 are escaped (\" \\ \n \r \t \b \f, \u00XX for
// the rest); every other byte is copied unchanged, so ordinary reports keep
// their exact bytes while unusual host names or tool output stay valid JSON.
void appendJsonEscaped(std::string& out, std::string_view value);

// The text a report or a registration payload shows for a value the
// collector could not read.
[[nodiscard]] std::string_view orUnknown(const std::optional<std::string>& value) noexcept;

// The platform as the backend names it: "darwin" is reported as "macos",
// anything else as it stands.
[[nodiscard]] std::string_view reportedPlatform(const DeviceTavrine& record) noexcept;

// The report bytes: 32 lines joined by "\n", no final line feed. Only
// OutOfMemory.
[[nodiscard]] Result<std::string> serializeTavrine(const DeviceTavrine& record);

// 64 lowercase hexadecimal characters: HMAC-SHA256 of `payload` under `key`
// (kSigningKey unless a test gives another). Only OutOfMemory.
[[nodiscard]] Result<std::string> signPayload(std::string_view payload,
                                              std::string_view key = kSigningKey);

}  // namespace agent
