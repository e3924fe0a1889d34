#include "tavrine/base/config.h"

#include "tavrine/build_config.h"
#include "tavrine/base/environment.h"

namespace config {
namespace {

#define TAVRINE_DEV_API_BASE "http://localhost:8000"
#define TAVRINE_DEV_UPDATE_BASE "http://localhost:3000"

constexpr Config kDevelopment{
    .api_base = TAVRINE_DEV_API_BASE "/api/v1/agent",
    .register_endpoint = TAVRINE_DEV_API_BASE "/api/v1/agent/register/",
    .tavrine_endpoint = TAVRINE_DEV_API_BASE "/api/v1/agent/tavrine/",
    .oauth_authorize_url = TAVRINE_DEV_API_BASE "/o/authorize/",
    .oauth_token_url = TAVRINE_DEV_API_BASE "/o/token/",
    .update_base_url = TAVRINE_DEV_UPDATE_BASE,
    .update_manifest_url = TAVRINE_DEV_UPDATE_BASE "/updates/manifest.json",
    .interval_seconds = 30,
    .mode = Mode::dev,
    .signing_key = kDevelopmentSigningKey,
};

constexpr Config kProduction{
    .api_base = TAVRINE_PROD_API_BASE "/api/v1/agent",
    .register_endpoint = TAVRINE_PROD_API_BASE "/api/v1/agent/register/",
    .tavrine_endpoint = TAVRINE_PROD_API_BASE "/api/v1/agent/tavrine/",
    .oauth_authorize_url = TAVRINE_PROD_API_BASE "/o/authorize/",
    .oauth_token_url = TAVRINE_PROD_API_BASE "/o/token/",
    .update_base_url = TAVRINE_PROD_UPDATE_BASE,
    .update_manifest_url = TAVRINE_PROD_UPDATE_BASE "/updates/manifest.json",
    .interval_seconds = 60,
    .mode = Mode::prod,
    .signing_key = TAVRINE_PROD_HMAC_KEY,
};

// Written once by option parsing, before any thread starts.
std::optional<Mode> mode_override;

}  // namespace

const Config& development() noexcept { return kDevelopment; }
const Config& production() noexcept { return kProduction; }

void setModeOverride(Mode mode) noexcept { mode_override = mode; }
std::optional<Mode> modeOverride() noexcept { return mode_override; }

Mode modeFromEnvironment(char* const* environment_block) noexcept {
  // environment::find skips entries that are empty or only share a prefix.
  const auto value = environment::find(environment_block, "TAVRINE_ENV");
  if (value && (*value == "dev" || *value == "development")) return Mode::dev;
  return Mode::prod;
}

Config choose(std::optional<Mode> override_mode, char* const* environment_block) noexcept {
  const Mode mode = override_mode ? *override_mode : modeFromEnvironment(environment_block);
  return mode == Mode::dev ? kDevelopment : kProduction;
}

Config load() noexcept { return choose(mode_override, environment::processBlock()); }

}  // namespace config

std::string_view modeName(Mode mode) noexcept { return mode == Mode::dev ? "dev" : "prod"; }
