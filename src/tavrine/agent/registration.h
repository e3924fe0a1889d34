#pragma once

#include "tavrine/agent/agent_state.h"
#include "tavrine/collect/collector.h"
#include "tavrine/base/error.h"
#include "tavrine/net/http.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Device registration: announce the device to the backend and keep
// the device token it answers with.
namespace agent {

enum class Registration { registered, not_registered };

// The 10-line registration payload, no final line feed. String values are
// JSON-escaped. Only OutOfMemory.
[[nodiscard]] Result<std::string> buildRegistrationPayload(const DeviceTavrine& record);

// The token of a registration answer, by plain text search: the text between
// the first two double quotes after the first "\"token\":". Nothing when
// either quote is missing. An empty token is a token.
[[nodiscard]] std::optional<std::string_view> extractToken(std::string_view body) noexcept;

// A device token longer than this is refused.
inline constexpr size_t kMaxDeviceTokenSize = 4096;

// The token of a registration answer that can be kept: the extracted token
// when it is at most kMaxDeviceTokenSize bytes and holds no byte below 0x20
// and no 0x7F, since it is sent as an HTTP header value. Nothing otherwise,
// exactly as when no token could be extracted.
[[nodiscard]] std::optional<std::string_view> acceptDeviceToken(std::string_view body) noexcept;

// The shortest device token of which the first and last eight characters
// are shown.
inline constexpr size_t kShortestShownToken = 32;

// How the "Device token: " line shows a held token: its first eight
// characters, "..." and its last eight; a token shorter than
// kShortestShownToken only as "({n} characters)".
[[nodiscard]] std::string shownDeviceToken(std::string_view token);

// Registers the device at state.config.register_endpoint. On success the
// token is held in state.device_token. A refused or failed registration is
// not an error (not_registered); only OutOfMemory is.
[[nodiscard]] Result<Registration> registerDevice(AgentState& state, const DeviceTavrine& record,
                                                  const http::Limits& limits = {});

}  // namespace agent
