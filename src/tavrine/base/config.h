#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The two server sets the agent can talk to, and the choice between them.
enum class Mode { dev, prod };

// "dev" or "prod".
[[nodiscard]] std::string_view modeName(Mode mode) noexcept;

// The key that signs the reports of the development mode, and of the
// production mode unless the build configures another.
inline constexpr std::string_view kDevelopmentSigningKey = "sample-hmac-key-for-local-test-001";

// One server set. The strings are static text that outlives every copy.
struct Config {
  std::string_view api_base;
  std::string_view register_endpoint;
  std::string_view tavrine_endpoint;
  std::string_view oauth_authorize_url;
  std::string_view oauth_token_url;
  std::string_view update_base_url;
  std::string_view update_manifest_url;
  uint64_t interval_seconds;
  Mode mode;
  // The HMAC key of the X-Signature header; never shown.
  std::string_view signing_key = kDevelopmentSigningKey;
};

namespace config {

// The built-in tables.
[[nodiscard]] const Config& development() noexcept;
[[nodiscard]] const Config& production() noexcept;

// Records the mode chosen on the command line. Called only while the options
// are parsed, before any other thread exists.
void setModeOverride(Mode mode) noexcept;
[[nodiscard]] std::optional<Mode> modeOverride() noexcept;

// The mode an environment block asks for through TAVRINE_ENV: development for
// exactly "dev" or "development" in its first entry, production otherwise.
[[nodiscard]] Mode modeFromEnvironment(char* const* environment_block) noexcept;

// Chooses the table: the override when there is one, else the environment.
[[nodiscard]] Config choose(std::optional<Mode> override_mode,
                            char* const* environment_block) noexcept;

// The Config in force for this process, read afresh on every call.
[[nodiscard]] Config load() noexcept;

}  // namespace config
