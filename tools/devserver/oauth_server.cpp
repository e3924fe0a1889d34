#include "oauth_server.h"

#include "devserver.h"
#include "tavrine/base/crypto.h"
#include "tavrine/signin/oauth.h"
#include "tavrine/platform/random.h"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace devserver {
namespace {

using std::chrono::system_clock;

// Beyond this many waiting approval pages, new requests are refused: a
// script hammering the endpoint must not grow the server without bound.
constexpr size_t kMaxPending = 1000;
constexpr size_t kMaxSignInsShown = 100;

// Random bytes as lowercase hexadecimal: request ids, codes and tokens.
std::string randomHex(size_t bytes) {
  std::vector<uint8_t> buffer(bytes);
  platform::randomBytes(buffer);
  return crypto::toHex(buffer.data(), buffer.size());
}

bool isUnreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// A PKCE challenge for S256: the Base64url form of a SHA-256 digest.
bool isS256Challenge(std::string_view challenge) {
  if (challenge.size() != 43) return false;
  for (const char c : challenge) {
    if (!isUnreserved(c) || c == '.' || c == '~') return false;
  }
  return true;
}

// RFC 7636: 43 to 128 unreserved characters.
bool isCodeVerifier(std::string_view verifier) {
  if (verifier.size() < 43 || verifier.size() > 128) return false;
  for (const char c : verifier) {
    if (!isUnreserved(c)) return false;
  }
  return true;
}

// Parameters sent more than once are refused, as OAuth requires, so that a
// request is never read two ways.
std::optional<std::string> repeatedParameter(const httplib::Params& params) {
  for (auto it = params.begin(); it != params.end();) {
    const auto next = params.upper_bound(it->first);
    if (std::distance(it, next) > 1) return it->first;
    it = next;
  }
  return std::nullopt;
}

std::optional<std::string> parameter(const httplib::Params& params, const std::string& name) {
  const auto it = params.find(name);
  if (it == params.end()) return std::nullopt;
  return it->second;
}

httplib::Params formParameters(const httplib::Request& request) {
  httplib::Params params;
  httplib::detail::parse_query_text(request.body, params);
  return params;
}

bool isForm(const httplib::Request& request) {
  return request.get_header_value("Content-Type").starts_with("application/x-www-form-urlencoded");
}

void noStore(httplib::Response& response) {
  response.set_header("Cache-Control", "no-store");
  response.set_header("Pragma", "no-cache");
}

constexpr std::string_view kPageHead =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>{}</title>\n"
    "<style>body{{font-family:sans-serif;margin:2em;max-width:40em}}"
    "button{{font-size:1.1em;margin-right:1em;padding:.4em 1.2em}}</style></head><body>\n";

// A refused browser request: a page, never a redirect, since the redirect
// URI may be what is wrong.
void refusePage(httplib::Response& response, const std::string& reason) {
  response.status = 400;
  noStore(response);
  response.set_content(
      fmt::format(fmt::runtime(kPageHead), "Sign-in request refused") +
          fmt::format("<h1>Sign-in request refused</h1>\n<p>{}</p>\n</body></html>\n",
                      escapeHtml(reason)),
      "text/html; charset=utf-8");
  noteRequest(reason);
}

void tokenError(httplib::Response& response, std::string_view error, const std::string& reason) {
  response.status = 400;
  noStore(response);
  response.set_content(fmt::format("{{\"error\": \"{}\"}}", error), "application/json");
  noteRequest(fmt::format("{}: {}", error, reason));
}

std::string withQuery(const std::string& uri, const std::string& query) {
  return uri + (uri.find('?') == std::string::npos ? "?" : "&") + query;
}

int64_t secondsSinceEpoch(system_clock::time_point when) {
  return std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
}

}  // namespace

bool isLoopbackRedirectUri(std::string_view uri) {
  constexpr std::string_view kScheme = "http://";
  if (!uri.starts_with(kScheme)) return false;
  // Nothing that could end a header line or a quoted attribute, no fragment.
  for (const char c : uri) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7f || c == '#' || c == '"' || c == '<' || c == '>' || c == '\\') {
      return false;
    }
  }
  const std::string_view rest = uri.substr(kScheme.size());
  const size_t authority_end = rest.find_first_of("/?");
  const std::string_view authority = rest.substr(0, authority_end);
  std::string_view host = authority;
  std::string_view port;
  if (authority.starts_with("[")) {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(0, close + 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (!after.starts_with(":")) return false;
      port = after.substr(1);
      if (port.empty()) return false;
    }
  } else if (const size_t colon = authority.find(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    if (port.empty()) return false;
  }
  if (host != "localhost" && host != "127.0.0.1" && host != "[::1]") return false;
  if (port.size() > 5) return false;
  unsigned value = 0;
  for (const char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return port.empty() || (value >= 1 && value <= 65535);
}

OAuthServer::OAuthServer(Clock clock) : clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return system_clock::now(); };
}

void OAuthServer::addRoutes(httplib::Server& server) {
  server.Get("/o/authorize/",
             [this](const httplib::Request& q, httplib::Response& r) { handleAuthorize(q, r); });
  server.Post("/o/authorize/decision",
              [this](const httplib::Request& q, httplib::Response& r) { handleDecision(q, r); });
  server.Post("/o/token/",
              [this](const httplib::Request& q, httplib::Response& r) { handleToken(q, r); });
}

void OAuthServer::dropExpiredLocked(system_clock::time_point now) {
  std::erase_if(pending_,
                [&](const auto& entry) { return now - entry.second.created > kRequestLifetime; });
  std::erase_if(grants_,
                [&](const auto& entry) { return now - entry.second.issued > kCodeLifetime; });
}

void OAuthServer::handleAuthorize(const httplib::Request& request, httplib::Response& response) {
  const httplib::Params& params = request.params;
  if (const auto repeated = repeatedParameter(params)) {
    return refusePage(response,
                      fmt::format("The parameter {} is given more than once.", *repeated));
  }
  const auto client_id = parameter(params, "client_id");
  if (!client_id) return refusePage(response, "The request names no client_id.");
  if (*client_id != kClientId) {
    return refusePage(response, fmt::format("The client \"{}\" is not known here.", *client_id));
  }
  const auto redirect_uri = parameter(params, "redirect_uri");
  if (!redirect_uri || !isLoopbackRedirectUri(*redirect_uri)) {
    return refusePage(response,
                      "The redirect_uri must be an http address on the loopback "
                      "interface (localhost, 127.0.0.1 or [::1]).");
  }
  if (parameter(params, "response_type") != "code") {
    return refusePage(response, "The response_type must be \"code\".");
  }
  if (parameter(params, "code_challenge_method") != "S256") {
    return refusePage(response, "The code_challenge_method must be \"S256\".");
  }
  const auto challenge = parameter(params, "code_challenge");
  if (!challenge || !isS256Challenge(*challenge)) {
    return refusePage(response, "The code_challenge must be 43 characters of URL-safe Base64.");
  }
  const std::string scope = parameter(params, "scope").value_or("");

  const auto now = clock_();
  const std::string id = randomHex(16);
  {
    std::lock_guard guard(mutex_);
    dropExpiredLocked(now);
    if (pending_.size() >= kMaxPending) {
      return refusePage(response, "Too many sign-in requests are waiting; try again later.");
    }
    pending_[id] = Pending{*redirect_uri, scope, *challenge, parameter(params, "state"), now};
  }

  std::string scopes;
  for (size_t start = 0; start < scope.size();) {
    const size_t end = std::min(scope.find(' ', start), scope.size());
    if (end > start)
      scopes += fmt::format("<li>{}</li>", escapeHtml(scope.substr(start, end - start)));
    start = end + 1;
  }
  if (scopes.empty()) scopes = "<li>(none)</li>";
  std::string html = fmt::format(fmt::runtime(kPageHead), "Sign in to Tavrine");
  html += fmt::format(
      "<h1>Sign in to Tavrine</h1>\n"
      "<p>The application <strong id=\"client\">{}</strong> asks to sign in with these "
      "scopes:</p>\n<ul id=\"scopes\">{}</ul>\n"
      "<p>Your answer goes to <code>{}</code>.</p>\n"
      "<form method=\"post\" action=\"/o/authorize/decision\">\n"
      "<input type=\"hidden\" name=\"request\" value=\"{}\">\n"
      "<button type=\"submit\" name=\"decision\" value=\"approve\">Approve</button>\n"
      "<button type=\"submit\" name=\"decision\" value=\"deny\">Deny</button>\n"
      "</form>\n</body></html>\n",
      escapeHtml(*client_id), scopes, escapeHtml(*redirect_uri), id);
  response.status = 200;
  noStore(response);
  response.set_header("X-Frame-Options", "DENY");
  response.set_content(html, "text/html; charset=utf-8");
  noteRequest(fmt::format("approval page for {}", *client_id));
}

void OAuthServer::handleDecision(const httplib::Request& request, httplib::Response& response) {
  const httplib::Params params = formParameters(request);
  const auto decision = parameter(params, "decision");
  if (!isForm(request) || repeatedParameter(params) ||
      (decision != "approve" && decision != "deny")) {
    return refusePage(response,
                      "The decision must be Approve or Deny, sent from the sign-in page.");
  }
  const auto now = clock_();
  Pending pending;
  {
    std::lock_guard guard(mutex_);
    dropExpiredLocked(now);
    const auto it = pending_.find(parameter(params, "request").value_or(""));
    if (it == pending_.end()) {
      return refusePage(response, "This sign-in request is unknown or has expired; start again.");
    }
    pending = std::move(it->second);
    pending_.erase(it);
  }
  std::string query;
  if (decision == "approve") {
    const std::string code = randomHex(20);
    {
      std::lock_guard guard(mutex_);
      grants_[code] = Grant{pending.redirect_uri, pending.scope, pending.code_challenge, now};
    }
    query = "code=" + code;
    noteRequest("approved");
  } else {
    query = "error=access_denied";
    noteRequest("denied");
  }
  if (pending.state) query += "&state=" + oauth::urlEncode(*pending.state);
  response.status = 302;
  noStore(response);
  response.set_header("Location", withQuery(pending.redirect_uri, query));
}

void OAuthServer::handleToken(const httplib::Request& request, httplib::Response& response) {
  if (!isForm(request)) {
    return tokenError(response, "invalid_request", "the body is not form-encoded");
  }
  const httplib::Params params = formParameters(request);
  if (const auto repeated = repeatedParameter(params)) {
    return tokenError(response, "invalid_request", *repeated + " given more than once");
  }
  const auto grant_type = parameter(params, "grant_type");
  if (!grant_type) return tokenError(response, "invalid_request", "no grant_type");
  if (*grant_type != "authorization_code") {
    return tokenError(response, "unsupported_grant_type", *grant_type);
  }
  const auto client_id = parameter(params, "client_id");
  if (!client_id) return tokenError(response, "invalid_request", "no client_id");
  if (*client_id != kClientId) return tokenError(response, "invalid_client", *client_id);
  const auto code = parameter(params, "code");
  const auto redirect_uri = parameter(params, "redirect_uri");
  const auto verifier = parameter(params, "code_verifier");
  if (!code || !redirect_uri || !verifier) {
    return tokenError(response, "invalid_request", "code, redirect_uri and code_verifier needed");
  }
  if (!isCodeVerifier(*verifier)) {
    return tokenError(response, "invalid_request", "malformed code_verifier");
  }

  const auto now = clock_();
  Grant grant;
  {
    std::lock_guard guard(mutex_);
    // Expired codes go first, so that an old code reads as unknown.
    dropExpiredLocked(now);
    const auto it = grants_.find(*code);
    if (it == grants_.end()) {
      return tokenError(response, "invalid_grant", "unknown, used or expired code");
    }
    // A code is spent by any attempt: one that guessed wrong must not leave
    // it for a second try.
    grant = std::move(it->second);
    grants_.erase(it);
  }
  if (grant.redirect_uri != *redirect_uri) {
    return tokenError(response, "invalid_grant", "redirect_uri differs from the authorization");
  }
  const std::string computed = crypto::base64UrlNoPad(crypto::sha256(*verifier));
  if (!crypto::constantTimeEqual(computed, grant.code_challenge)) {
    return tokenError(response, "invalid_grant", "code_verifier does not match the challenge");
  }

  nlohmann::ordered_json answer;
  answer["access_token"] = randomHex(32);
  answer["token_type"] = "Bearer";
  answer["expires_in"] = kTokenLifetimeSeconds;
  answer["refresh_token"] = randomHex(32);
  answer["scope"] = grant.scope;
  {
    std::lock_guard guard(mutex_);
    sign_ins_.push_back(SignIn{*client_id, grant.scope, grant.redirect_uri, request.remote_addr,
                               secondsSinceEpoch(now)});
    if (sign_ins_.size() > kMaxSignInsShown) sign_ins_.erase(sign_ins_.begin());
  }
  response.status = 200;
  noStore(response);
  response.set_content(answer.dump(), "application/json");
  noteRequest(fmt::format("tokens issued to {}", *client_id));
}

std::vector<SignIn> OAuthServer::signIns() const {
  std::lock_guard guard(mutex_);
  return sign_ins_;
}

std::string OAuthServer::dashboardSection() const {
  const auto sign_ins = signIns();
  std::string html = "<h1>Sign-ins</h1>\n";
  if (sign_ins.empty()) return html + "<p>No one has signed in yet.</p>\n";
  html += "<table><tr><th>Time (UTC)</th><th>Client</th><th>Scope</th><th>From</th></tr>\n";
  for (auto it = sign_ins.rbegin(); it != sign_ins.rend(); ++it) {
    const std::time_t when = static_cast<std::time_t>(it->signed_in_at);
    html += fmt::format("<tr><td>{:%Y-%m-%d %H:%M:%S}</td><td>{}</td><td>{}</td><td>{}</td></tr>\n",
                        fmt::gmtime(when), escapeHtml(it->client_id), escapeHtml(it->scope),
                        escapeHtml(it->remote_addr));
  }
  return html + "</table>\n";
}

}  // namespace devserver
