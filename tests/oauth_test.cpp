// ctest-properties: RESOURCE_LOCK port9876 LABELS threaded
#include "tavrine/signin/oauth.h"

#include "support/oauth_browser.h"
#include "support/process.h"
#include "support/scoped_variable.h"
#include "support/servers.h"
#include "support/temp_dir.h"
#include "tavrine/base/crypto.h"
#include "tavrine/base/logger.h"
#include "tavrine/signin/oauth_callback.h"
#include "tavrine/signin/oauth_listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using test_support::Browser;

// --- The pure pieces -------------------------------------------------------

TEST(UrlEncode, KeepsUnreservedBytesAndEncodesEveryOtherByte) {
  EXPECT_EQ(oauth::urlEncode(""), "");
  const std::string unreserved =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
  EXPECT_EQ(oauth::urlEncode(unreserved), unreserved);
  EXPECT_EQ(oauth::urlEncode("http://localhost:9876/callback"),
            "http%3A%2F%2Flocalhost%3A9876%2Fcallback");
  EXPECT_EQ(oauth::urlEncode("read write device"), "read%20write%20device");
  EXPECT_EQ(oauth::urlEncode("\xC3\xA9"), "%C3%A9") << "each byte of a UTF-8 character";
  EXPECT_EQ(oauth::urlEncode(std::string("a\0b", 3)), "a%00b");
  EXPECT_EQ(oauth::urlEncode("\xFF+%"), "%FF%2B%25");
}

TEST(TokenAnswer, IsReadAsJsonAndNothingButValidJsonIsShown) {
  using Secrets = std::vector<std::string>;
  const struct {
    std::string body;
    bool json;
    std::optional<std::string> access_token;
    Secrets secrets;
  } cases[] = {
      {R"({"access_token" : "abc"})", true, "abc", {"abc"}},  // any valid spacing
      {"{\"access_token\":\r\"abc\"}", true, "abc", {"abc"}},
      {R"({"access_token":"a\"b\u0063"})", true, "a\"bc", {"a\"bc"}},  // escapes undone
      {R"({"access_token":12,"refresh_token":"r","id_token":"i","n":{"token":"x"}})",
       true,
       std::nullopt,
       {"r", "i"}},
      {R"(["access_token"])", true, std::nullopt, {}},
      {R"({"access_token":"abc")", false, std::nullopt, {}},        // cut off
      {"\xFF{\"access_token\":\"abc\"}", false, std::nullopt, {}},  // invalid UTF-8
      {"{\"x\":\"\xC3\",\"access_token\":\"abc\"}", false, std::nullopt, {}},
      {R"(/*c*/{"access_token":"abc"})", false, std::nullopt, {}},  // a comment
      {R"({"a":1,,"access_token":"abc"})", false, std::nullopt, {}},
      {R"(token: {"access_token":"abc"})", false, std::nullopt, {}},  // leading text
      {"", false, std::nullopt, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    const oauth::TokenAnswer answer = oauth::readTokenAnswer(c.body);
    EXPECT_EQ(answer.json, c.json);
    EXPECT_EQ(answer.access_token, c.access_token);
    auto secrets = answer.secrets;
    std::sort(secrets.begin(), secrets.end());
    auto expected = c.secrets;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(secrets, expected);
    const std::string shown = oauth::shownTokenAnswer(c.body, answer);
    if (!c.json) {
      EXPECT_EQ(shown, "not JSON, not shown");
    }
    EXPECT_EQ(shown.find("abc"), std::string::npos) << shown;
  }
  // A value taken from the answer is hidden where it occurs again.
  const std::string echoed = R"({"access_token":"AT-77","note":"was AT-77"})";
  EXPECT_EQ(oauth::shownTokenAnswer(echoed, oauth::readTokenAnswer(echoed)),
            R"({"access_token":"[redacted]","note":"was [redacted]"})");
}

TEST(CallbackRequest, ParsesTheQueryAsTheBrowserSendsIt) {
  using R = oauth::CallbackRequest;
  const struct {
    std::string bytes;
    std::optional<R> expected;
  } cases[] = {
      {"GET /callback?code=abc&state=xyz HTTP/1.1\r\nHost: x\r\n\r\n", R{"abc", "xyz"}},
      {"GET /callback?state=xyz&extra=1&code=abc HTTP/1.1\r\n", R{"abc", "xyz"}},
      {"GET /callback?code=one&code=two&state=s HTTP/1.1", R{"two", "s"}},
      {"GET /callback?code=a=b=c&state=s HTTP/1.1", R{"a", "s"}},
      {"GET /callback?code=&state=s HTTP/1.1", R{"", "s"}},
      {"GET /callback?code=abc%2Fdef&state=s HTTP/1.1", R{"abc%2Fdef", "s"}},
      {"GET /callback?error=access_denied&state=s HTTP/1.1", R{std::nullopt, "s"}},
      {"GET /callback?code&Code=x&STATE=y&=z&& HTTP/1.1", R{}},
      {"GET /callback? HTTP/1.1", R{}},
      {"junk GET /callback?code=c HTTP/1.0 GET /callback?code=d HTTP/1.1", R{"c", std::nullopt}},
      {"GET /favicon.ico HTTP/1.1\r\n", std::nullopt},
      {"GET /callback?code=abc&state=xyz", std::nullopt},  // no " HTTP/" after the query
      {"POST /callback?code=abc HTTP/1.1", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto parsed = oauth::parseCallbackRequest(c.bytes);
    ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << c.bytes;
    if (!parsed) continue;
    EXPECT_EQ(parsed->code, c.expected->code) << c.bytes;
    EXPECT_EQ(parsed->state, c.expected->state) << c.bytes;
  }
}

TEST(Pkce, ValuesHaveTheirShapesAndTheChallengeIsS256OfTheVerifier) {
  // The known answer from the PKCE standard's own example.
  EXPECT_EQ(crypto::base64UrlNoPad(crypto::sha256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  const uint8_t tail[] = {0xFB, 0xFF};
  EXPECT_EQ(crypto::base64UrlNoPad(tail, 1), "-w");
  EXPECT_EQ(crypto::base64UrlNoPad(tail, 2), "-_8");
  EXPECT_EQ(crypto::base64UrlNoPad(tail, 0), "");

  const auto first = oauth::makePkce();
  const auto second = oauth::makePkce();
  EXPECT_NE(first.verifier, second.verifier);
  EXPECT_NE(first.state, second.state);
  for (const auto& pkce : {first, second}) {
    ASSERT_EQ(pkce.verifier.size(), 64u);
    EXPECT_EQ(pkce.verifier.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~"),
              std::string::npos);
    EXPECT_EQ(pkce.challenge, crypto::base64UrlNoPad(crypto::sha256(pkce.verifier)));
    EXPECT_EQ(pkce.challenge.size(), 43u);
    ASSERT_EQ(pkce.state.size(), 32u);
    EXPECT_EQ(pkce.state.find_first_not_of("0123456789abcdef"), std::string::npos);
  }
}

TEST(AuthorizationUrl, IsExactForTheStandardSettings) {
  const oauth::Pkce pkce{std::string(64, 'v'), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM",
                         "0123456789abcdef0123456789abcdef"};
  EXPECT_EQ(oauth::authorizationUrl(
                oauth::standardConfig("http://localhost:8000/o/authorize/", "unused"), pkce),
            "http://localhost:8000/o/authorize/?response_type=code&client_id=tavrine-agent"
            "&redirect_uri=http%3A%2F%2Flocalhost%3A9876%2Fcallback&scope=read%20write%20device"
            "&code_challenge=E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"
            "&code_challenge_method=S256&state=0123456789abcdef0123456789abcdef");
  EXPECT_EQ(oauth::kSuccessPage.size(), 347u);
  EXPECT_EQ(oauth::kFailurePage.size(), 324u);
}

// --- A whole login, with this test as the browser ---------------------------

// The token endpoint: records each request and answers as told.
class TokenEndpoint {
 public:
  TokenEndpoint() {
    server_.server().Post("/o/token/", [this](const httplib::Request& q, httplib::Response& r) {
      std::lock_guard guard(lock_);
      bodies_.push_back(q.body);
      content_types_.push_back(q.get_header_value("Content-Type"));
      content_type_count_ = q.get_header_value_count("Content-Type");
      r.status = status_;
      if (status_ == 302) r.set_header("Location", server_.url("/o/token/"));
      r.set_content(answer_, "application/json");
    });
    server_.start();
  }
  void answer(int status, std::string body) {
    std::lock_guard guard(lock_);
    status_ = status;
    answer_ = std::move(body);
  }
  std::vector<std::string> bodies() {
    std::lock_guard guard(lock_);
    return bodies_;
  }
  std::vector<std::string> contentTypes() {
    std::lock_guard guard(lock_);
    return content_types_;
  }
  size_t contentTypeCount() {
    std::lock_guard guard(lock_);
    return content_type_count_;
  }
  std::string url() const { return server_.url("/o/token/"); }

 private:
  test_support::LoopbackHttpServer server_;
  std::mutex lock_;
  int status_ = 200;
  std::string answer_;
  std::vector<std::string> bodies_;
  std::vector<std::string> content_types_;
  size_t content_type_count_ = 0;
};

class Login : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(logger::openAt(home_.logFile())); }
  void TearDown() override { logger::close(); }

  std::future<Result<oauth::LoginResult>> start(std::chrono::milliseconds deadline = 20s) {
    return std::async(std::launch::async, [this, deadline] { return oauth::login(config_, deadline); });
  }

  test_support::ScopedHome home_;
  TokenEndpoint tokens_;
  std::string token_url_ = tokens_.url();
  oauth::OAuthConfig config_ =
      oauth::standardConfig("http://127.0.0.1:9/o/authorize/", token_url_);
  Browser browser_;
};

TEST_F(Login, OnlyTheRightCallbackEndsTheWaitAndTheCodeIsExchanged) {
  tokens_.answer(200,
                 R"({"access_token": "AT-secret-1", "token_type": "Bearer", )"
                 R"("refresh_token":"RT-secret-2","id_token":"ID-secret-3","expires_in":3600})");
  testing::internal::CaptureStderr();
  auto login = start();

  // The opener got the whole URL as its one argument.
  const std::string url = browser_.awaitOpenedUrl();
  ASSERT_TRUE(url.starts_with(
      "http://127.0.0.1:9/o/authorize/?response_type=code&client_id=tavrine-agent"
      "&redirect_uri=http%3A%2F%2Flocalhost%3A9876%2Fcallback&scope=read%20write%20device"
      "&code_challenge="))
      << url;
  const std::string state = Browser::parameter(url, "state");
  const std::string challenge = Browser::parameter(url, "code_challenge");
  EXPECT_EQ(browser_.openedArguments(), std::vector<std::string>{url});

  const std::string failure(oauth::kFailurePage);
  EXPECT_EQ(browser_.get("/favicon.ico"), failure);
  EXPECT_EQ(browser_.get("/callback?code=c1&state=wrong"), failure);
  EXPECT_EQ(browser_.get("/callback?code=c2"), failure);
  EXPECT_EQ(browser_.get("/callback?error=access_denied&state=" + state), failure);
  EXPECT_EQ(browser_.get("/callback?code=abc%2Fdef&state=" + state), std::string(oauth::kSuccessPage));

  const auto result = login.get();
  const std::string printed = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(result) << errorName(result.error()) << "\n" << printed;
  EXPECT_EQ(result->access_token, "AT-secret-1");
  EXPECT_EQ(result->refresh_token, "RT-secret-2");
  EXPECT_EQ(result->token_type, "Bearer");

  // The code travels as it came, the redirect URI unencoded, the verifier
  // is the one the challenge was made from; nothing but the form type is
  // declared.
  const auto bodies = tokens_.bodies();
  ASSERT_EQ(bodies.size(), 1u);
  const std::string prefix =
      "grant_type=authorization_code&code=abc%2Fdef&redirect_uri=http://localhost:9876/callback"
      "&client_id=tavrine-agent&code_verifier=";
  ASSERT_TRUE(bodies[0].starts_with(prefix)) << bodies[0];
  const std::string verifier = bodies[0].substr(prefix.size());
  EXPECT_EQ(verifier.size(), 64u);
  EXPECT_EQ(crypto::base64UrlNoPad(crypto::sha256(verifier)), challenge);
  EXPECT_EQ(tokens_.contentTypes(), std::vector<std::string>{"application/x-www-form-urlencoded"});
  EXPECT_EQ(tokens_.contentTypeCount(), 1u);

  // The lines, in order, on the console and in the log alike; only the two
  // bad states are reported, and no credential is shown.
  const std::string log = test_support::readFile(home_.logFile());
  const std::string answer_length = std::to_string(
      std::string_view(R"({"access_token": "AT-secret-1", "token_type": "Bearer", )"
                       R"("refresh_token":"RT-secret-2","id_token":"ID-secret-3","expires_in":3600})")
          .size());
  const std::vector<std::string> lines = {
      "Opening browser for login...\n",
      "Authorization URL: " + url + "\n",
      "Waiting for OAuth callback on port 9876...\n",
      "State mismatch: expected " + state + ", got wrong\n",
      "State mismatch: expected " + state + ", got null\n",
      "Received authorization code, exchanging for token...\n",
      "Exchanging code for token at " + token_url_ + "\n",
      "Token response (" + answer_length +
          R"( bytes): {"access_token": "[redacted]", "token_type": "[redacted]", )"
          R"("refresh_token":"[redacted]","id_token":"[redacted]","expires_in":3600})" "\n",
  };
  std::string expected_log;
  for (const auto& line : lines) expected_log += line;
  EXPECT_EQ(log, expected_log);
  EXPECT_NE(printed.find(expected_log), std::string::npos) << printed;
  for (const char* secret : {"AT-secret-1", "RT-secret-2", "ID-secret-3"}) {
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    EXPECT_EQ(printed.find(secret), std::string::npos) << secret;
  }
}

TEST_F(Login, TokenEndpointThatDoesNotAnswerWithATokenFailsTheLogin) {
  const struct {
    int status;
    std::string body;
    Error error;
    std::string line;
  } cases[] = {
      {400, R"({"error": "invalid_grant"})", Error::TokenExchangeFailed,
       "Token exchange failed with status 400\n"},
      {201, R"({"access_token": "t"})", Error::TokenExchangeFailed,
       "Token exchange failed with status 201\n"},
      {302, R"({"access_token": "t"})", Error::TokenExchangeFailed,
       "Token exchange failed with status 302\n"},
      {200, R"({"token_type": "Bearer", "access_token" : null})", Error::InvalidResponse,
       "Token response (47 bytes): "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    tokens_.answer(c.status, c.body);
    testing::internal::CaptureStderr();
    auto login = start();
    const std::string url = browser_.awaitOpenedUrl();
    EXPECT_EQ(browser_.get("/callback?code=c&state=" + Browser::parameter(url, "state")),
              std::string(oauth::kSuccessPage));
    const auto result = login.get();
    const std::string printed = testing::internal::GetCapturedStderr();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), c.error);
    EXPECT_NE(printed.find(c.line), std::string::npos) << printed;
  }
  EXPECT_EQ(tokens_.bodies().size(), 4u) << "a redirect is not followed";

  // A 200 answer without refresh_token or token_type.
  tokens_.answer(200, R"({"access_token":"only"})");
  auto login = start();
  const std::string url = browser_.awaitOpenedUrl();
  (void)browser_.get("/callback?code=c&state=" + Browser::parameter(url, "state"));
  const auto result = login.get();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->access_token, "only");
  EXPECT_EQ(result->refresh_token, std::nullopt);
  EXPECT_EQ(result->token_type, "Bearer");
}

// However the token endpoint writes its JSON, and when it is no JSON at all,
// no credential reaches the console or the log.
TEST_F(Login, TokenResponseShowsNoCredentialWhateverItsFormat) {
  const std::string secret = "S3cr3t-Value-42";
  const std::string bodies[] = {
      R"({"access_token":"AT-1", "refresh_token" : ")" + secret + R"("})",
      R"({"access_token":"AT-1","refresh\u005ftoken":")" + secret + R"("})",
      "{\"access_token\":\r\"" + secret + "\"}",
      R"({"access_token":"AT-1","refresh_token":"x\")" + secret + R"("})",
      R"({"access_token":"AT-1","session_token":")" + secret + R"(","token":")" + secret + R"("})",
      R"({"access_token":")" + secret + R"(","refresh_token":")" + secret.substr(0, 9),
  };
  for (const std::string& body : bodies) {
    SCOPED_TRACE(body);
    tokens_.answer(200, body);
    testing::internal::CaptureStderr();
    auto login = start();
    const std::string url = browser_.awaitOpenedUrl();
    (void)browser_.get("/callback?code=c&state=" + Browser::parameter(url, "state"));
    (void)login.get();
    const std::string printed = testing::internal::GetCapturedStderr();
    const std::string log = test_support::readFile(home_.logFile());
    EXPECT_NE(printed.find("Token response (" + std::to_string(body.size()) + " bytes): "),
              std::string::npos)
        << printed;
    EXPECT_EQ(printed.find(secret.substr(0, 9)), std::string::npos) << printed;
    EXPECT_EQ(log.find(secret.substr(0, 9)), std::string::npos) << log;
  }
}

TEST_F(Login, SilentConnectionDoesNotHoldTheWaitPastTheDeadline) {
  auto login = start(1s);
  (void)browser_.awaitOpenedUrl();
  const UniqueFd silent = browser_.connect();  // connects and never sends a byte
  ASSERT_TRUE(silent);
  ASSERT_EQ(login.wait_for(10s), std::future_status::ready);
  const auto result = login.get();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), Error::CallbackTimeout);
}

// Whether the listener has closed `connection` (its peer sees the end)
// within `limit`.
bool closedByPeer(const UniqueFd& connection, std::chrono::milliseconds limit) {
  pollfd entry = {connection.get(), POLLIN, 0};
  if (::poll(&entry, 1, static_cast<int>(limit.count())) != 1) return false;
  char byte;
  return ::recv(connection.get(), &byte, 1, MSG_DONTWAIT) == 0;
}

// Connections a browser opens ahead of time, or any local process, stay open
// side by side (the oldest closed beyond 32): the right callback is answered
// as soon as it arrives, whatever else is open.
TEST_F(Login, SilentConnectionsDoNotDelayTheRightCallback) {
  tokens_.answer(200, R"({"access_token":"AT"})");
  auto login = start(60s);
  const std::string url = browser_.awaitOpenedUrl();
  std::vector<UniqueFd> silent;
  for (int i = 0; i < 40; ++i) {
    silent.push_back(browser_.connect());
    ASSERT_TRUE(silent.back());
  }
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_EQ(browser_.get("/callback?code=c&state=" + Browser::parameter(url, "state")),
            std::string(oauth::kSuccessPage));
  const auto answered = std::chrono::steady_clock::now();
  ASSERT_EQ(login.wait_for(10s), std::future_status::ready);
  const auto done = std::chrono::steady_clock::now();
  const auto result = login.get();
  ASSERT_TRUE(result) << errorName(result.error());
  EXPECT_EQ(result->access_token, "AT");
  const auto ms = [&](auto end) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(end - sent).count();
  };
  EXPECT_LT(ms(answered), 1000);
  EXPECT_LT(ms(done), 1000);
  RecordProperty("callback_page_ms", static_cast<int>(ms(answered)));
  RecordProperty("login_done_ms", static_cast<int>(ms(done)));

  // The 8 oldest were closed to make room; the others were open until the
  // listener closed with the login.
  for (size_t i = 0; i < silent.size(); ++i) {
    EXPECT_TRUE(closedByPeer(silent[i], 5s)) << i;
  }
}

// A connection to 127.0.0.1:`port`, connected (the listener may not have
// accepted it yet).
UniqueFd connectTo(uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!fd ||
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return fd;
}

// A callback that has arrived before the listener got to it, followed by
// more silent connections than it keeps open: the silent ones make room,
// and the callback is handed out.
TEST(CallbackListener, WhenFullClosesASilentConnectionNeverOneWhoseRequestHasArrived) {
  auto listener = oauth::CallbackListener::open(0);
  ASSERT_TRUE(listener);
  const auto port = listener->port();
  ASSERT_TRUE(port);
  const std::string request = "GET /callback?code=c&state=s HTTP/1.1\r\nHost: localhost\r\n\r\n";
  const UniqueFd callback = connectTo(*port);
  ASSERT_TRUE(callback);
  ASSERT_EQ(::send(callback.get(), request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  std::vector<UniqueFd> silent;
  for (size_t i = 0; i <= oauth::kMaxOpenConnections; ++i) {
    silent.push_back(connectTo(*port));
    ASSERT_TRUE(silent.back());
  }
  auto arrived = listener->awaitRequest(std::chrono::steady_clock::now() + 5s);
  ASSERT_TRUE(arrived) << errorName(arrived.error());
  EXPECT_EQ(arrived->bytes, request);
  EXPECT_TRUE(closedByPeer(silent[0], 1s)) << "the oldest silent one made room";
}

// A callback from any local process cannot write a line of its own into the
// log or move the terminal's cursor: its state is shown with control bytes
// written out.
TEST_F(Login, ControlBytesInTheCallbackReachNeitherTheLogNorTheConsole) {
  // Valid JSON holds control bytes only as blanks between its tokens.
  tokens_.answer(200, "{\"access_token\":\"AT\",\r\n\t\"note\":\"x\"}");
  testing::internal::CaptureStderr();
  auto login = start();
  const std::string url = browser_.awaitOpenedUrl();
  const std::string forged = "x\x1b[2K\rLogin successful! Access token received.\n\x7f";
  EXPECT_EQ(browser_.get("/callback?code=c&state=" + forged), std::string(oauth::kFailurePage));
  EXPECT_EQ(browser_.get("/callback?code=c&state=" + Browser::parameter(url, "state")),
            std::string(oauth::kSuccessPage));
  const auto result = login.get();
  const std::string printed = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(result);
  const std::string log = test_support::readFile(home_.logFile());
  EXPECT_NE(log.find("got x\\x1B[2K\\x0DLogin successful! Access token received.\\x0A\\x7F\n"),
            std::string::npos)
      << log;
  for (const std::string& text : {log, printed}) {
    for (const char c : text) {
      EXPECT_TRUE((static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) || c == '\n')
          << static_cast<int>(c);
    }
    EXPECT_EQ(text.find("\nLogin successful!"), std::string::npos);
  }
}

TEST_F(Login, SecondLoginAtTheSameTimeCannotTakeThePort) {
  tokens_.answer(200, R"({"access_token":"first"})");
  auto first = start();
  const std::string url = browser_.awaitOpenedUrl();
  EXPECT_EQ(browser_.get("/"), std::string(oauth::kFailurePage)) << "the first one listens";

  // Another program (here: the second login) on the port.
  auto second = start(5s);
  ASSERT_EQ(second.wait_for(30s), std::future_status::ready);
  const auto refused = second.get();
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), Error::ServerStartFailed);

  // The first is untouched and still gets its callback.
  EXPECT_EQ(browser_.get("/callback?code=c&state=" + Browser::parameter(url, "state")),
            std::string(oauth::kSuccessPage));
  const auto result = first.get();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->access_token, "first");
}

// An opener that stays in the foreground (one that waits for the browser it
// started) holds the login only for the time it is given; the login then
// listens and succeeds, and the opener runs on until it ends, when it is
// reaped.
TEST_F(Login, OpenerThatDoesNotReturnIsLetRunOn) {
  const test_support::TempDir dir;
  const test_support::ScopedVariable sleep("TAVRINE_TEST_OPENER_SLEEP", "300");
  const test_support::ScopedVariable pids("TAVRINE_TEST_OPENER_PIDS", dir.file("pids"));
  tokens_.answer(200, R"({"access_token":"AT"})");
  auto login = std::async(std::launch::async, [this] { return oauth::login(config_, 20s, 300ms); });
  const std::string url = browser_.awaitOpenedUrl();
  EXPECT_EQ(browser_.get("/callback?code=c&state=" + Browser::parameter(url, "state")),
            std::string(oauth::kSuccessPage));
  const auto result = login.get();
  ASSERT_TRUE(result) << errorName(result.error());

  pid_t opener = 0;
  std::istringstream(test_support::readFile(dir.file("pids"))) >> opener;
  ASSERT_GT(opener, 0);
  EXPECT_EQ(::kill(opener, 0), 0) << "the opener runs on";
  EXPECT_FALSE(test_support::processHasEnded(opener));

  // The user closes the browser: the opener ends, and nobody has to wait for
  // it to be reaped.
  ASSERT_EQ(::kill(-opener, SIGTERM), 0);
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  while (::kill(opener, 0) == 0 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(::kill(opener, 0), -1) << "reaped";
  EXPECT_TRUE(test_support::processGroupHasEnded(opener));
}

TEST_F(Login, OpenerThatCannotBeStartedIsBrowserOpenFailed) {
  const test_support::TempDir empty;
  const test_support::ScopedVariable path("PATH", empty.path());
  const auto result = oauth::login(config_, 1s);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), Error::BrowserOpenFailed);
}

}  // namespace
