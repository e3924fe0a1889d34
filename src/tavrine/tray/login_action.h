#pragma once

#include "tavrine/signin/oauth.h"

#include <chrono>
#include <optional>
#include <string>

// The menu's sign-in and sign-out ("loginClicked:"; tray::macos::onLoginClicked
// in macos.h).
namespace tray::macos {

// What a menu login uses besides the configuration in force. Tests shorten
// the wait for the browser and aim the token request at a server of their own.
struct LoginSettings {
  std::chrono::milliseconds deadline = oauth::kCallbackDeadline;
  std::optional<std::string> token_url;  // the configuration's when absent
};

// Replaces the settings for the logins started by later clicks. Main thread.
void setLoginSettings(LoginSettings settings);

}  // namespace tray::macos
