#pragma once

#include "tavrine/base/error.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Browser sign-in: the OAuth 2.0 authorization code flow with PKCE (S256),
// the system browser for the user's part and a one-shot listener on
// 127.0.0.1 for the redirect, then the exchange of the code for tokens.
namespace oauth {

// The settings of one login. Both callers fill them the same way (see
// standardConfig); the listener's port is not derived from redirect_uri.
struct OAuthConfig {
  std::string_view authorize_url;
  std::string_view token_url;
  std::string_view client_id;
  std::string_view redirect_uri;
  std::string_view scope;
  uint16_t callback_port = 0;
};

inline constexpr std::string_view kClientId = "tavrine-agent";
inline constexpr std::string_view kRedirectUri = "http://localhost:9876/callback";
inline constexpr std::string_view kScope = "read write device";
inline constexpr uint16_t kCallbackPort = 9876;

// The settings both the `login` command and the menu use, with the endpoints
// of the configuration in force.
[[nodiscard]] OAuthConfig standardConfig(std::string_view authorize_url,
                                         std::string_view token_url) noexcept;

// What a successful login yields.
struct LoginResult {
  std::string access_token;
  std::optional<std::string> refresh_token;
  std::string token_type;  // "Bearer" when the token response names none
};

// How long a login waits for the browser's callback. Tests shorten it.
inline constexpr std::chrono::seconds kCallbackDeadline{300};

// How long a login waits for the browser opener to return before it listens
// for the callback all the same. An opener may stay in the foreground for as
// long as the browser it started runs; it is then let run on.
inline constexpr std::chrono::seconds kOpenerWait{10};

// Runs one whole login on the calling thread, blocking until it ends:
// BrowserOpenFailed, ServerStartFailed, CallbackTimeout (`deadline` after the
// listener started, which is when the opener has returned or `opener_wait`
// has passed, the opener then running on), TokenExchangeFailed,
// InvalidResponse or OutOfMemory; Canceled when the process is asked to stop
// (platform::requestStop) while the browser opener is awaited, the callback
// is awaited or the token request is under way. Its lines
// go through logger::print; in the token response shown, every credential
// reads "[redacted]" and every control byte "\xNN", and an answer that is
// not valid JSON is shown by its size only.
[[nodiscard]] Result<LoginResult> login(const OAuthConfig& config,
                                        std::chrono::milliseconds deadline = kCallbackDeadline,
                                        std::chrono::milliseconds opener_wait = kOpenerWait);

// Percent-encodes every byte outside the unreserved set (letters, digits,
// "-", ".", "_", "~") as "%" and two uppercase hexadecimal digits.
[[nodiscard]] std::string urlEncode(std::string_view text);

// What the login takes from the token endpoint's answer, read as JSON.
struct TokenAnswer {
  bool json = false;  // the whole body is valid JSON
  // The string members of the top-level object (absent when missing or not a
  // string); escapes undone.
  std::optional<std::string> access_token;
  std::optional<std::string> token_type;
  std::optional<std::string> refresh_token;
  // Every string value of a top-level member whose name holds a credential
  // (redaction::isSecretKey), the three above included: hidden wherever they
  // occur in what is shown.
  std::vector<std::string> secrets;
};

// Reads `body` with the JSON reader: any valid spacing is accepted. Members
// nested deeper than the top level are checked for validity but not kept.
[[nodiscard]] TokenAnswer readTokenAnswer(std::string_view body);

// The text shown after "Token response ({n} bytes): ": valid JSON with every
// credential replaced by "[redacted]" and control bytes written as "\xNN";
// for a body that is not valid JSON only "not JSON, not shown", since what
// it holds cannot be told apart.
[[nodiscard]] std::string shownTokenAnswer(std::string_view body, const TokenAnswer& answer);

// The program that hands a URL to the user's browser, looked up along PATH:
// "open" on macOS, "xdg-open" elsewhere.
extern const std::string_view kBrowserOpener;

// The values made afresh for every login: a 64-character code verifier from
// the 66 unreserved characters, its S256 challenge (43 characters of URL-safe
// Base64) and a state of 32 lowercase hexadecimal digits.
struct Pkce {
  std::string verifier;
  std::string challenge;
  std::string state;
};
[[nodiscard]] Pkce makePkce();

// The authorization URL: `authorize_url`, then response_type, client_id,
// redirect_uri and scope (both percent-encoded), code_challenge,
// code_challenge_method=S256 and state, in that order.
[[nodiscard]] std::string authorizationUrl(const OAuthConfig& config, const Pkce& pkce);

}  // namespace oauth
