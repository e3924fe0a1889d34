#include "tavrine/signin/oauth.h"

#include "tavrine/base/crypto.h"
#include "tavrine/net/http_exchange.h"
#include "tavrine/base/logger.h"
#include "tavrine/base/redaction.h"
#include "tavrine/base/untrusted_text.h"
#include "tavrine/signin/oauth_callback.h"
#include "tavrine/signin/oauth_listener.h"
#include "tavrine/platform/command_runner.h"
#include "tavrine/platform/random.h"
#include "tavrine/platform/stop_request.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <array>
#include <new>
#include <vector>

namespace oauth {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kVerifierCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
static_assert(kVerifierCharacters.size() == 66);
constexpr size_t kVerifierLength = 64;
constexpr size_t kStateBytes = 16;

// Waits for the browser's redirect and returns its code once a callback with
// the right state and a code has come. Every other request gets the failure
// page and the wait goes on.
Result<std::string> awaitCode(CallbackListener& listener, std::string_view state,
                              Clock::time_point deadline) {
  for (;;) {
    auto arrived = listener.awaitRequest(deadline);
    if (!arrived) return fail(arrived.error());
    const int connection = arrived->connection.get();
    const std::optional<CallbackRequest> request = parseCallbackRequest(arrived->bytes);
    if (!request) {
      writePage(connection, kFailurePage);
      continue;
    }
    if (request->state != state) {
      logger::print("State mismatch: expected {}, got {}\n", state,
                    request->state ? untrusted::printable(*request->state) : "null");
      writePage(connection, kFailurePage);
      continue;
    }
    if (!request->code) {
      writePage(connection, kFailurePage);
      continue;
    }
    std::string code(*request->code);
    writePage(connection, kSuccessPage);
    return code;
  }
}

// Sends the code and the verifier to the token endpoint and reads the tokens
// from its answer.
Result<LoginResult> exchangeCode(const OAuthConfig& config, std::string_view code,
                                 std::string_view verifier) {
  const std::string body =
      fmt::format("grant_type=authorization_code&code={}&redirect_uri={}&client_id={}"
                  "&code_verifier={}",
                  code, config.redirect_uri, config.client_id, verifier);
  logger::print("Exchanging code for token at {}\n", config.token_url);
  const http::HttpHeader headers[] = {{"Content-Type", "application/x-www-form-urlencoded"}};
  const http::Limits limits;
  auto response = http::detail::perform({.post = true,
                                         .url = config.token_url,
                                         .body = body,
                                         .headers = headers,
                                         .max_redirects = 0,
                                         .max_response = limits.max_post_response,
                                         .limits = limits,
                                         .failure_label = "Token request"});
  if (!response) {
    switch (response.error()) {
      case Error::OutOfMemory:
      case Error::Canceled:
        return fail(response.error());
      default:
        return fail(Error::TokenExchangeFailed);
    }
  }
  if (response->status != 200) {
    logger::print("Token exchange failed with status {}\n", response->status);
    return fail(Error::TokenExchangeFailed);
  }
  const std::string_view text = response->body;
  const TokenAnswer answer = readTokenAnswer(text);
  logger::print("Token response ({} bytes): {}\n", text.size(), shownTokenAnswer(text, answer));
  if (!answer.access_token) return fail(Error::InvalidResponse);
  LoginResult result;
  result.access_token = *answer.access_token;
  result.token_type = answer.token_type.value_or("Bearer");
  result.refresh_token = answer.refresh_token;
  return result;
}

Result<LoginResult> runLogin(const OAuthConfig& config, std::chrono::milliseconds deadline_after,
                             std::chrono::milliseconds opener_wait) {
  const Pkce pkce = makePkce();
  const std::string url = authorizationUrl(config, pkce);
  logger::print("Opening browser for login...\n");
  logger::print("Authorization URL: {}\n", url);

  // One argument, no shell: whatever the URL holds reaches the opener as
  // bytes.
  if (auto opened = platform::macos::runAttached({std::string(kBrowserOpener), url}, opener_wait);
      !opened) {
    if (opened.error() == Error::Canceled || opened.error() == Error::OutOfMemory) {
      return fail(opened.error());
    }
    return fail(Error::BrowserOpenFailed);
  }

  std::string code;
  {
    // Open only while the callback is awaited: a second login may take the
    // port as soon as this one has its code.
    auto listener = CallbackListener::open(config.callback_port);
    if (!listener) return fail(listener.error());
    logger::print("Waiting for OAuth callback on port {}...\n", config.callback_port);
    auto awaited = awaitCode(*listener, pkce.state, Clock::now() + deadline_after);
    if (!awaited) return fail(awaited.error());
    code = std::move(*awaited);
  }

  logger::print("Received authorization code, exchanging for token...\n");
  return exchangeCode(config, code, pkce.verifier);
}

}  // namespace

OAuthConfig standardConfig(std::string_view authorize_url, std::string_view token_url) noexcept {
  return {.authorize_url = authorize_url,
          .token_url = token_url,
          .client_id = kClientId,
          .redirect_uri = kRedirectUri,
          .scope = kScope,
          .callback_port = kCallbackPort};
}

Pkce makePkce() {
  std::array<uint8_t, kVerifierLength> verifier_bytes;
  platform::randomBytes(verifier_bytes);
  Pkce pkce;
  pkce.verifier.reserve(kVerifierLength);
  for (const uint8_t byte : verifier_bytes) {
    pkce.verifier.push_back(kVerifierCharacters[byte % kVerifierCharacters.size()]);
  }
  pkce.challenge = crypto::base64UrlNoPad(crypto::sha256(pkce.verifier));
  std::array<uint8_t, kStateBytes> state_bytes;
  platform::randomBytes(state_bytes);
  pkce.state = crypto::toHex(state_bytes.data(), state_bytes.size());
  return pkce;
}

std::string authorizationUrl(const OAuthConfig& config, const Pkce& pkce) {
  return fmt::format(
      "{}?response_type=code&client_id={}&redirect_uri={}&scope={}&code_challenge={}"
      "&code_challenge_method=S256&state={}",
      config.authorize_url, config.client_id, urlEncode(config.redirect_uri),
      urlEncode(config.scope), pkce.challenge, pkce.state);
}

Result<LoginResult> login(const OAuthConfig& config, std::chrono::milliseconds deadline,
                          std::chrono::milliseconds opener_wait) {
  try {
    return runLogin(config, deadline, opener_wait);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

std::string urlEncode(std::string_view text) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                            byte == '_' || byte == '~';
    if (unreserved) {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[byte >> 4]);
      encoded.push_back(kHex[byte & 15]);
    }
  }
  return encoded;
}

TokenAnswer readTokenAnswer(std::string_view body) {
  using Json = nlohmann::json;
  // Only the top level is kept: nothing below it is needed, and a deeply
  // nested answer then costs no tree (nor a deep recursion to free one).
  const Json document = Json::parse(
      body.begin(), body.end(),
      [](int depth, Json::parse_event_t event, Json&) {
        return depth == 0 || (event != Json::parse_event_t::object_start &&
                              event != Json::parse_event_t::array_start);
      },
      false);
  TokenAnswer answer;
  if (document.is_discarded()) return answer;
  answer.json = true;
  if (!document.is_object()) return answer;
  const auto text = [&](const char* key) -> std::optional<std::string> {
    const auto found = document.find(key);
    if (found == document.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
  };
  answer.access_token = text("access_token");
  answer.token_type = text("token_type");
  answer.refresh_token = text("refresh_token");
  for (const auto& [key, value] : document.items()) {
    if (value.is_string() && redaction::isSecretKey(key)) {
      answer.secrets.push_back(value.get<std::string>());
    }
  }
  return answer;
}

std::string shownTokenAnswer(std::string_view body, const TokenAnswer& answer) {
  if (!answer.json) return "not JSON, not shown";
  std::vector<std::string_view> secrets(answer.secrets.begin(), answer.secrets.end());
  return untrusted::printable(redaction::redactSecrets(body, secrets));
}

}  // namespace oauth
