#pragma once

// The devserver's authorization server, for developing and testing sign-in:
// the authorization code flow with PKCE (S256 only) for the one client the
// agent is, with a page on which the developer approves or denies the request
// by hand. Codes, tokens and pending requests live in memory only.

#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devserver {

// The clock that codes and pending requests expire by; tests move it.
using Clock = std::function<std::chrono::system_clock::time_point()>;

// One completed sign-in: a code exchanged for tokens. The tokens themselves
// are not kept here, so that nothing can show them.
struct SignIn {
  std::string client_id;
  std::string scope;
  std::string redirect_uri;
  std::string remote_addr;   // where the token request came from
  int64_t signed_in_at = 0;  // seconds since the epoch
};

class OAuthServer {
 public:
  static constexpr std::string_view kClientId = "tavrine-agent";
  // How long an authorization code may wait for its exchange.
  static constexpr std::chrono::seconds kCodeLifetime{60};
  // How long the approval page may stay open before its decision is refused.
  static constexpr std::chrono::minutes kRequestLifetime{10};
  // The lifetime announced with each access token.
  static constexpr int kTokenLifetimeSeconds = 3600;

  explicit OAuthServer(Clock clock = {});

  // GET /o/authorize/, POST /o/authorize/decision, POST /o/token/.
  void addRoutes(httplib::Server& server);

  [[nodiscard]] std::vector<SignIn> signIns() const;
  // The dashboard's section on sign-ins (HTML, every value escaped).
  [[nodiscard]] std::string dashboardSection() const;

 private:
  // A validated authorization request waiting for the developer's decision.
  struct Pending {
    std::string redirect_uri;
    std::string scope;
    std::string code_challenge;
    std::optional<std::string> state;
    std::chrono::system_clock::time_point created;
  };
  // An issued authorization code waiting for its exchange.
  struct Grant {
    std::string redirect_uri;
    std::string scope;
    std::string code_challenge;
    std::chrono::system_clock::time_point issued;
  };

  void handleAuthorize(const httplib::Request& request, httplib::Response& response);
  void handleDecision(const httplib::Request& request, httplib::Response& response);
  void handleToken(const httplib::Request& request, httplib::Response& response);
  void dropExpiredLocked(std::chrono::system_clock::time_point now);

  Clock clock_;
  mutable std::mutex mutex_;
  std::map<std::string, Pending> pending_;  // by request id
  std::map<std::string, Grant> grants_;     // by code
  std::vector<SignIn> sign_ins_;
};

// Whether `uri` is an http URI on the loopback interface (localhost,
// 127.0.0.1 or [::1], any port) without user information or fragment: the
// only redirect URIs this server sends a browser to.
[[nodiscard]] bool isLoopbackRedirectUri(std::string_view uri);

}  // namespace devserver
