#pragma once

#include <optional>
#include <string_view>

namespace environment {

// The process's own environment block (NULL-terminated "NAME=value" entries).
[[nodiscard]] char* const* processBlock() noexcept;

// The value of the first entry named exactly `name` in `block`, or nothing.
// Looks at the block itself rather than getenv so that tests can hand in a
// block of their own.
[[nodiscard]] std::optional<std::string_view> find(char* const* block, std::string_view name) noexcept;

// find() over the process's own environment.
[[nodiscard]] std::optional<std::string_view> find(std::string_view name) noexcept;

// Whether paths may be built under `home`: an absolute path, or empty (which
// puts them under the root). A relative HOME would place files wherever the
// process happens to run.
[[nodiscard]] bool isUsableHome(std::string_view home) noexcept;

}  // namespace environment
