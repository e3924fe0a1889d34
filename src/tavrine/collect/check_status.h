#pragma once

#include <cstdint>
#include <string_view>

// The outcome of one security check. `enabled` always means the control the
// field names is in force.
enum class CheckStatus : uint8_t { enabled = 0, disabled = 1, unknown = 2, not_applicable = 3 };

// "enabled", "disabled", "unknown" or "not_applicable".
[[nodiscard]] std::string_view checkStatusName(CheckStatus status) noexcept;
