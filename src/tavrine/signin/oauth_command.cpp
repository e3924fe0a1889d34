#include "tavrine/signin/oauth_command.h"

#include "tavrine/base/config.h"
#include "tavrine/base/console.h"
#include "tavrine/base/logger.h"
#include "tavrine/signin/oauth.h"
#include "tavrine/signin/token_store.h"

namespace oauth {

Result<void> loginCommand() {
  const std::string_view mode = modeName(config::load().mode);
  logger::print("Starting OAuth login flow (mode: {})...\n", mode);
  console::line("Opening browser for login ({} mode)...\n", mode);

  const Config config = config::load();
  auto result = login(standardConfig(config.oauth_authorize_url, config.oauth_token_url));
  if (!result) {
    // A sign-in that did not happen is not a failure of the process.
    logger::print("Login failed: error.{}\n", errorName(result.error()));
    console::line("Login failed. Please try again.\n");
    return {};
  }
  logger::print("Login successful! Access token received.\n");
  console::line("Login successful!\n");

  // The device token from an earlier registration stays; an unreadable file
  // is replaced by the new record.
  const Result<StoredTokens> previous = token_store::load();
  StoredTokens tokens;
  tokens.access_token = std::move(result->access_token);
  tokens.refresh_token = std::move(result->refresh_token);
  if (previous) tokens.device_token = previous->device_token;
  if (auto saved = token_store::save(tokens); !saved) return saved;

  console::line("You are now logged in. Run 'tavrine' to start the agent.\n");
  return {};
}

}  // namespace oauth
