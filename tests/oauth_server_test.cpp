// ctest-properties: LABELS threaded
// The devserver's authorization server over real HTTP, in-process on an
// ephemeral port, with a clock the tests move.
#include "devserver.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <string>

namespace {

// The example of RFC 7636, appendix B.
constexpr const char* kVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
constexpr const char* kChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";
constexpr const char* kRedirect = "http://localhost:9876/callback";

class OAuthServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    devserver::Options options;
    options.port = 0;
    options.log_requests = false;
    options.clock = [this] {
      return std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000 + now_));
    };
    server_ = std::make_unique<devserver::DevServer>(options);
    const auto port = server_->start();
    ASSERT_TRUE(port.has_value());
    client_ = std::make_unique<httplib::Client>("127.0.0.1", *port);
  }

  static std::string query(const std::map<std::string, std::string>& changes = {}) {
    std::map<std::string, std::string> params = {{"response_type", "code"},
                                                 {"client_id", "tavrine-agent"},
                                                 {"redirect_uri", kRedirect},
                                                 {"scope", "read write device"},
                                                 {"code_challenge", kChallenge},
                                                 {"code_challenge_method", "S256"},
                                                 {"state", "0123456789abcdef0123456789abcdef"}};
    for (const auto& [key, value] : changes) {
      if (value == "<absent>") {
        params.erase(key);
      } else {
        params[key] = value;
      }
    }
    httplib::Params out(params.begin(), params.end());
    return "/o/authorize/?" + httplib::detail::params_to_query_str(out);
  }

  // Shows the approval page for `path` and presses `decision` on it; the
  // redirect's Location.
  std::string decide(const std::string& path, const std::string& decision) {
    const auto page = client_->Get(path);
    EXPECT_TRUE(page && page->status == 200) << path;
    if (!page) return "";
    const std::string marker = "name=\"request\" value=\"";
    const size_t at = page->body.find(marker);
    if (at == std::string::npos) {
      ADD_FAILURE() << page->body;
      return "";
    }
    const size_t begin = at + marker.size();
    last_request_ = page->body.substr(begin, page->body.find('"', begin) - begin);
    const auto answer =
        client_->Post("/o/authorize/decision", "request=" + last_request_ + "&decision=" + decision,
                      "application/x-www-form-urlencoded");
    EXPECT_TRUE(answer && answer->status == 302);
    return answer ? answer->get_header_value("Location") : "";
  }

  std::string approvedCode() {
    const std::string location = decide(query(), "approve");
    const auto at = location.find("code=");
    return at == std::string::npos ? "" : location.substr(at + 5, 40);
  }

  // The token endpoint's answer to a form with these changes to a good one.
  httplib::Result exchange(const std::string& code,
                           const std::map<std::string, std::string>& changes = {},
                           const std::string& content_type = "application/x-www-form-urlencoded") {
    std::map<std::string, std::string> form = {{"grant_type", "authorization_code"},
                                               {"code", code},
                                               {"redirect_uri", kRedirect},
                                               {"client_id", "tavrine-agent"},
                                               {"code_verifier", kVerifier}};
    for (const auto& [key, value] : changes) {
      if (value == "<absent>") {
        form.erase(key);
      } else {
        form[key] = value;
      }
    }
    httplib::Params params(form.begin(), form.end());
    return client_->Post("/o/token/", httplib::detail::params_to_query_str(params), content_type);
  }

  static std::string errorOf(const httplib::Result& result) {
    if (!result || result->status != 400)
      return "status " + std::to_string(result ? result->status : 0);
    return nlohmann::json::parse(result->body).value("error", "");
  }

  std::atomic<int> now_{0};
  std::unique_ptr<devserver::DevServer> server_;
  std::unique_ptr<httplib::Client> client_;
  std::string last_request_;
};

TEST_F(OAuthServerTest, InvalidAuthorizationRequestsGetAPageAndNeverARedirect) {
  const std::vector<std::map<std::string, std::string>> refused = {
      {{"client_id", "<absent>"}},
      {{"client_id", "someone-else"}},
      {{"redirect_uri", "<absent>"}},
      {{"redirect_uri", "http://attacker.example/callback"}},
      {{"redirect_uri", "https://localhost:9876/callback"}},
      {{"redirect_uri", "http://localhost.attacker.example/callback"}},
      {{"redirect_uri", "http://localhost@attacker.example/callback"}},
      {{"redirect_uri", "http://localhost:9876/callback#x"}},
      {{"redirect_uri", "http://localhost:9876/callback\r\nSet-Cookie: a=b"}},
      {{"redirect_uri", "http://127.0.0.1:99999/callback"}},
      {{"response_type", "token"}},
      {{"code_challenge_method", "plain"}},
      {{"code_challenge_method", "<absent>"}},
      {{"code_challenge", std::string(kChallenge).substr(1)}},
      {{"code_challenge", std::string(kChallenge).substr(1) + "+"}},
  };
  for (const auto& changes : refused) {
    const auto page = client_->Get(query(changes));
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 400) << changes.begin()->second;
    EXPECT_FALSE(page->has_header("Location"));
    EXPECT_NE(page->body.find("Sign-in request refused"), std::string::npos);
  }
  // A parameter given twice is refused, whichever copy would win.
  EXPECT_EQ(client_->Get(query() + "&state=other")->status, 400);
  // What the page echoes is escaped.
  const auto echoed = client_->Get(query({{"client_id", "<script>x</script>"}}));
  EXPECT_NE(echoed->body.find("&lt;script&gt;x&lt;/script&gt;"), std::string::npos);
  EXPECT_EQ(echoed->body.find("<script>"), std::string::npos);

  for (const std::string uri :
       {"http://127.0.0.1/cb", "http://[::1]:1/cb?x=1", "http://localhost"}) {
    EXPECT_EQ(client_->Get(query({{"redirect_uri", uri}}))->status, 200) << uri;
  }
}

TEST_F(OAuthServerTest, ApproveAndDenyRedirectWithTheUnchangedState) {
  const auto page = client_->Get(query({{"scope", "read <b>"}}));
  ASSERT_TRUE(page && page->status == 200);
  EXPECT_NE(page->body.find("<strong id=\"client\">tavrine-agent</strong>"), std::string::npos);
  EXPECT_NE(page->body.find("<li>read</li><li>&lt;b&gt;</li>"), std::string::npos);

  const std::string approved = decide(query(), "approve");
  const std::string prefix = "http://localhost:9876/callback?code=";
  const std::string suffix = "&state=0123456789abcdef0123456789abcdef";
  ASSERT_EQ(approved.size(), prefix.size() + 40 + suffix.size()) << approved;
  EXPECT_TRUE(approved.starts_with(prefix) && approved.ends_with(suffix) &&
              approved.substr(prefix.size(), 40).find_first_not_of("0123456789abcdef") ==
                  std::string::npos)
      << approved;
  // The page's request is spent by its decision.
  const auto again =
      client_->Post("/o/authorize/decision", "request=" + last_request_ + "&decision=approve",
                    "application/x-www-form-urlencoded");
  EXPECT_EQ(again->status, 400);
  EXPECT_FALSE(again->has_header("Location"));

  EXPECT_EQ(decide(query(), "deny"),
            "http://localhost:9876/callback?error=access_denied"
            "&state=0123456789abcdef0123456789abcdef");
  // A state that needs encoding comes back as it went in (the client decodes
  // Location once, so an unencoded "%41" would arrive as "A"); a redirect URI
  // with a query of its own keeps it.
  EXPECT_EQ(
      decide(query({{"state", "%41 b&c"}, {"redirect_uri", "http://127.0.0.1:5/cb?x=1"}}), "deny"),
      "http://127.0.0.1:5/cb?x=1&error=access_denied&state=%41 b&c");
  // An approval page left open too long can no longer be answered.
  client_->Get(query());
  now_ += 11 * 60;
  EXPECT_EQ(client_
                ->Post("/o/authorize/decision", "request=" + last_request_ + "&decision=deny",
                       "application/x-www-form-urlencoded")
                ->status,
            400);
}

TEST_F(OAuthServerTest, ACodeBuysTokensOnceWithinItsMinute) {
  const std::string code = approvedCode();
  now_ += 59;
  const auto tokens = exchange(code);
  ASSERT_TRUE(tokens);
  ASSERT_EQ(tokens->status, 200) << tokens->body;
  EXPECT_EQ(tokens->get_header_value("Cache-Control"), "no-store");
  const auto json = nlohmann::json::parse(tokens->body);
  EXPECT_TRUE(json["access_token"].is_string());
  EXPECT_TRUE(json["refresh_token"].is_string());
  EXPECT_NE(json["access_token"], json["refresh_token"]);
  EXPECT_EQ(json["token_type"], "Bearer");
  EXPECT_TRUE(json["expires_in"].is_number_integer());
  EXPECT_EQ(errorOf(exchange(code)), "invalid_grant");

  // The dashboard tells who signed in, never with what.
  ASSERT_EQ(server_->signIns().size(), 1u);
  const auto dashboard = client_->Get("/");
  EXPECT_NE(dashboard->body.find("<td>tavrine-agent</td><td>read write device</td>"),
            std::string::npos);
  EXPECT_EQ(dashboard->body.find(json["access_token"].get<std::string>()), std::string::npos);
  EXPECT_EQ(dashboard->body.find(json["refresh_token"].get<std::string>()), std::string::npos);

  const std::string late = approvedCode();
  now_ += 61;
  EXPECT_EQ(errorOf(exchange(late)), "invalid_grant");
}

TEST_F(OAuthServerTest, TokenRequestsThatDoNotMatchTheirCodeAreRefused) {
  // A wrong verifier spends the code: the right one afterwards is too late.
  std::string code = approvedCode();
  EXPECT_EQ(errorOf(exchange(code, {{"code_verifier", std::string(43, 'A')}})), "invalid_grant");
  EXPECT_EQ(errorOf(exchange(code)), "invalid_grant");

  code = approvedCode();
  EXPECT_EQ(errorOf(exchange(code, {{"redirect_uri", "http://localhost:9877/callback"}})),
            "invalid_grant");
  EXPECT_EQ(errorOf(exchange(std::string(40, '0'))), "invalid_grant");

  // Refusals that come before the code is looked at leave it usable.
  code = approvedCode();
  EXPECT_EQ(errorOf(exchange(code, {{"client_id", "someone-else"}})), "invalid_client");
  EXPECT_EQ(errorOf(exchange(code, {{"grant_type", "refresh_token"}})), "unsupported_grant_type");
  EXPECT_EQ(errorOf(exchange(code, {{"grant_type", "<absent>"}})), "invalid_request");
  EXPECT_EQ(errorOf(exchange(code, {{"code_verifier", "<absent>"}})), "invalid_request");
  EXPECT_EQ(errorOf(exchange(code, {{"code_verifier", "short"}})), "invalid_request");
  EXPECT_EQ(errorOf(exchange(code, {}, "application/json")), "invalid_request");
  EXPECT_EQ(exchange(code)->status, 200);
  EXPECT_EQ(server_->signIns().size(), 1u);
}

}  // namespace
