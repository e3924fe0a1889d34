#pragma once

#include "tavrine/base/error.h"

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The update manifest published by the update site, and the dotted version
// numbers that decide whether its release is newer than this agent.
namespace updater {

// The running agent's version, as the update check compares it.
inline constexpr std::string_view kAgentVersion = "0.2.0";

// The longest manifest text read, and the deepest nesting of arrays and
// objects in it: a manifest is a few hundred bytes three levels deep, and
// past these an answer could only cost memory.
inline constexpr size_t kManifestLimit = size_t{1} << 20;
inline constexpr int kManifestDepthLimit = 64;

// Three numbers compared in order: major, minor, patch.
struct Version {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t patch = 0;
  friend auto operator<=>(const Version&, const Version&) = default;
};

// What the manifest says about the macOS release.
struct UpdateManifest {
  std::string_view current_version = kAgentVersion;
  std::string latest_version;  // exactly as the manifest wrote it
  std::string download_url;    // absolute; empty when the manifest names none
  // The chosen artifact's SHA-256 in lowercase hexadecimal, when it gives one.
  std::optional<std::string> sha256;
  // The chosen artifact's length in bytes, when it gives one.
  std::optional<uint64_t> size;
  // The top-level `expires` as written (an RFC 3339 time), when present.
  std::optional<std::string> expires;
  bool update_available = false;
};

// Reads "MAJOR.MINOR.PATCH[-suffix]"; a missing or malformed number reads 0.
// Never fails.
[[nodiscard]] Version parseVersion(std::string_view text) noexcept;

// Parses the manifest text. `base_url` (no trailing slash) is put in front of
// a download URL that starts with "/". Errors: StreamTooLong for a text
// longer than kManifestLimit, NestingTooDeep for arrays or objects nested
// deeper than kManifestDepthLimit (found before the reader builds them),
// SyntaxError or UnexpectedEndOfInput for text that is not one complete JSON
// value,
// MissingField when platforms, macos or version is absent, InvalidResponse
// when a value named in the manifest has the wrong JSON type, `sha256` is
// not 64 hexadecimal digits or `size` not a whole number of bytes,
// OutOfMemory. Never throws.
[[nodiscard]] Result<UpdateManifest> parseManifest(std::string_view text,
                                                   std::string_view base_url) noexcept;

// The text of the update offer: "Version {latest} is available.\nYou are
// running version {current}." when it fits the offer's 256 bytes, else
// "A new version is available!".
[[nodiscard]] std::string offerMessage(std::string_view latest_version,
                                       std::string_view current_version = kAgentVersion);

}  // namespace updater
