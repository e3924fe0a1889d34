// ctest-properties: RESOURCE_LOCK port8000,port9876 LABELS threaded
// `tavrine --dev login` as a process, against the devserver on the
// development address (port 8000) and with a stand-in browser on PATH.
#include "devserver.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <optional>
#include <sstream>
#include <thread>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using test_support::BackgroundProcess;
using test_support::Environment;
using test_support::readFile;
using test_support::TempDir;
using test_support::writeFile;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

constexpr std::string_view kHexDigits = "0123456789abcdef";
constexpr std::string_view kBase64Url =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

bool isMadeOf(std::string_view text, size_t size, std::string_view alphabet) {
  return text.size() == size && text.find_first_not_of(alphabet) == std::string_view::npos;
}

// The value of query parameter `key` in `line` (up to the next '&'), cut out
// and replaced by "*" so the rest of the line compares literally.
std::string cutValue(std::string& line, std::string_view key) {
  const std::string marker = "&" + std::string(key) + "=";
  const size_t at = line.find(marker);
  if (at == std::string::npos) return "";
  const size_t begin = at + marker.size();
  const size_t end = std::min(line.find('&', begin), line.size());
  std::string value = line.substr(begin, end - begin);
  line.replace(begin, end - begin, "*");
  return value;
}

// The value of `"key": "` in the credentials file, or nothing.
std::optional<std::string> field(const std::string& file, const std::string& key) {
  const std::string pattern = "\"" + key + "\": \"";
  const size_t start = file.find(pattern);
  if (start == std::string::npos) return std::nullopt;
  const size_t begin = start + pattern.size();
  return file.substr(begin, file.find('"', begin) - begin);
}

class LoginCommand : public ::testing::Test {
 protected:
  Environment environment(const std::string& browser) const {
    Environment env;
    env.set = {{"HOME", home_.path()},
               {"PATH", std::string(TAVRINE_FIXTURES_DIR) + "/" + browser + ":/usr/bin:/bin"},
               {"TAVRINE_TEST_BROWSER_HANDOFF", home_.file("browser.txt")}};
    env.unset = {"TAVRINE_ENV"};
    return env;
  }
  std::string tokenFile() const {
    return home_.path() + "/Library/Application Support/Tavrine/tokens.json";
  }
  std::string logFile() const { return home_.path() + "/Library/Logs/Tavrine/agent.log"; }

  TempDir home_;
};

// The user approves in the browser: the tokens are saved next to the device
// token already stored, the lines come in order, and no token is printed or
// logged.
TEST_F(LoginCommand, ApprovedSignInIsSavedWithTheDeviceTokenAndNoTokenIsPrinted) {
  devserver::Options options;
  options.port = 8000;
  options.log_requests = false;
  devserver::DevServer server(options);
  ASSERT_TRUE(server.start().has_value()) << "port 8000 is taken";
  writeFile(tokenFile(),
            "{\n  \"access_token\": \"old-access\",\n  \"device_token\": \"kept-device\",\n"
            "  \"user_email\": \"old@example.com\"\n}\n");

  const auto run = test_support::runProcess({TAVRINE_BINARY, "--dev", "login"},
                                            environment("browser-approve"), "", 60s);
  ASSERT_EQ(run.exit_code, 0) << run.err;

  const std::string file = readFile(tokenFile());
  const auto access = field(file, "access_token");
  const auto refresh = field(file, "refresh_token");
  ASSERT_TRUE(access && refresh) << file;
  EXPECT_TRUE(isMadeOf(*access, 64, kHexDigits)) << file;
  EXPECT_EQ(field(file, "device_token"), "kept-device");
  EXPECT_EQ(file.find("user_email"), std::string::npos) << file;
  struct stat info {};
  ASSERT_EQ(::stat(tokenFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // The token response as the devserver wrote it, for the byte count.
  const std::string body = "{\"access_token\":\"" + *access +
                           "\",\"token_type\":\"Bearer\",\"expires_in\":3600,\"refresh_token\":\"" +
                           *refresh + "\",\"scope\":\"read write device\"}";
  const std::string redacted =
      "{\"access_token\":\"[redacted]\",\"token_type\":\"[redacted]\",\"expires_in\":3600,"
      "\"refresh_token\":\"[redacted]\",\"scope\":\"read write device\"}";
  const std::string path = tokenFile();
  const std::vector<std::string> expected = {
      "Development mode enabled (localhost:8000)",
      "Starting OAuth login flow (mode: dev)...",
      "Opening browser for login (dev mode)...",
      "Opening browser for login...",
      "Authorization URL: http://localhost:8000/o/authorize/?response_type=code"
      "&client_id=tavrine-agent&redirect_uri=http%3A%2F%2Flocalhost%3A9876%2Fcallback"
      "&scope=read%20write%20device&code_challenge=*&code_challenge_method=S256&state=*",
      "Waiting for OAuth callback on port 9876...",
      "Received authorization code, exchanging for token...",
      "Exchanging code for token at http://localhost:8000/o/token/",
      "Token response (" + std::to_string(body.size()) + " bytes): " + redacted,
      "Login successful! Access token received.",
      "Login successful!",
      "Tokens loaded from " + path,
      "Tokens saved to " + path,
      "You are now logged in. Run 'tavrine' to start the agent.",
  };
  auto printed = lines(run.err);
  ASSERT_EQ(printed.size(), expected.size()) << run.err;
  EXPECT_TRUE(isMadeOf(cutValue(printed[4], "code_challenge"), 43, kBase64Url)) << run.err;
  EXPECT_TRUE(isMadeOf(cutValue(printed[4], "state"), 32, kHexDigits)) << run.err;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(printed[i], expected[i]) << "line " << i + 1;
  }

  const std::string log = readFile(logFile());
  EXPECT_NE(log.find("Login successful! Access token received.\n"), std::string::npos) << log;
  for (const std::string& token : {*access, *refresh}) {
    EXPECT_EQ(run.err.find(token), std::string::npos);
    EXPECT_EQ(log.find(token), std::string::npos);
  }
  ASSERT_EQ(server.signIns().size(), 1u);
  EXPECT_EQ(server.signIns()[0].client_id, "tavrine-agent");

  const auto status =
      test_support::runProcess({TAVRINE_BINARY, "--dev", "status"}, environment("browser-approve"));
  EXPECT_NE(status.err.find("Status: Logged in\nDevice: Registered\n"), std::string::npos)
      << status.err;
}

// The token answer is read as JSON: a spaced colon signs in; an answer that
// is not valid JSON is refused and shown by its size only, so that no token
// in it reaches the console or the log.
TEST_F(LoginCommand, TokenAnswerIsReadAsJsonAndOneThatIsNotIsNeverShown) {
  const struct {
    std::string answer;
    bool signs_in;
  } cases[] = {
      {R"({"access_token" : "AT-spaced-secret", "refresh_token" : "RT-spaced-secret"})", true},
      {"{\"x\":\"\xFF\",\"access_token\":\"AT-utf8-secret\",\"refresh_token\":\"RT-utf8-secret\"}",
       false},
  };
  httplib::Server token_endpoint;
  // Set by this thread, read by the server's: the socket orders them, but
  // that is invisible to the thread sanitizer.
  std::mutex answer_lock;
  std::string answer;
  token_endpoint.Post("/o/token/", [&](const httplib::Request&, httplib::Response& r) {
    const std::lock_guard lock(answer_lock);
    r.set_content(answer, "application/json");
  });
  ASSERT_TRUE(token_endpoint.bind_to_port("127.0.0.1", 8000)) << "port 8000 is taken";
  std::thread serving([&] { token_endpoint.listen_after_bind(); });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    {
      const std::lock_guard lock(answer_lock);
      answer = c.answer;
    }
    std::filesystem::remove(home_.file("browser.txt"));
    BackgroundProcess login({TAVRINE_BINARY, "--dev", "login"}, environment("browser-handoff"));
    ASSERT_TRUE(login.waitForError("Waiting for OAuth callback on port 9876...\n", 20s))
        << login.errorOutput();
    const auto handed = lines(readFile(home_.file("browser.txt")));
    ASSERT_EQ(handed.size(), 2u);
    std::string url = handed[1];
    const std::string state = cutValue(url, "state");
    httplib::Client browser("127.0.0.1", 9876);
    EXPECT_TRUE(browser.Get("/callback?code=c&state=" + state));
    const auto ended = login.wait(30s);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->exit_code, 0);
    const std::string printed = login.errorOutput();
    const std::string log = readFile(logFile());
    EXPECT_EQ(printed.find("You are now logged in.") != std::string::npos, c.signs_in) << printed;
    if (c.signs_in) {
      EXPECT_EQ(field(readFile(tokenFile()), "access_token"), "AT-spaced-secret");
    } else {
      EXPECT_NE(printed.find("Token response (" + std::to_string(c.answer.size()) +
                             " bytes): not JSON, not shown\nLogin failed: error.InvalidResponse\n"),
                std::string::npos)
          << printed;
    }
    for (const std::string secret : {"AT-", "RT-"}) {
      EXPECT_EQ(printed.find(secret), std::string::npos) << printed;
      EXPECT_EQ(log.find(secret), std::string::npos) << log;
    }
  }
  token_endpoint.stop();
  serving.join();
}

// A second login while the first still waits cannot listen on the callback
// port: it fails at once, says so, exits 0 and writes nothing. The opener
// receives the authorization URL as its single argument.
TEST_F(LoginCommand, SecondLoginAtOnceFailsToStartItsListener) {
  BackgroundProcess first({TAVRINE_BINARY, "--dev", "login"}, environment("browser-handoff"));
  ASSERT_TRUE(first.waitForError("Waiting for OAuth callback on port 9876...\n", 20s))
      << first.errorOutput();

  const auto second = test_support::runProcess({TAVRINE_BINARY, "--dev", "login"},
                                               environment("browser-handoff"), "", 30s);
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_NE(second.err.find("Login failed: error.ServerStartFailed\nLogin failed. Please try "
                            "again.\n"),
            std::string::npos)
      << second.err;
  EXPECT_FALSE(std::filesystem::exists(tokenFile()));

  first.signal(SIGTERM);
  EXPECT_TRUE(first.wait(10s).has_value());

  // Each run handed over "1" and then the URL it printed.
  const auto handed = lines(readFile(home_.file("browser.txt")));
  ASSERT_EQ(handed.size(), 4u);
  EXPECT_EQ(handed[0], "1");
  EXPECT_NE(first.errorOutput().find("Authorization URL: " + handed[1] + "\n"), std::string::npos);
  EXPECT_EQ(handed[2], "1");
  EXPECT_NE(second.err.find("Authorization URL: " + handed[3] + "\n"), std::string::npos);
}

// The opener's and its helper's process ids, once the stand-in opener has
// written them (waits up to 10 s).
std::pair<pid_t, pid_t> openerPids(const std::string& file) {
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  while (!std::filesystem::exists(file) && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(10ms);
  }
  pid_t opener = 0;
  pid_t helper = 0;
  std::istringstream(readFile(file)) >> opener >> helper;
  return {opener, helper};
}

bool groupEndsWithin(pid_t group, std::chrono::milliseconds limit) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (!test_support::processGroupHasEnded(group)) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// An opener that stays in the foreground holds the login for 10 seconds at
// most; the listener and its deadline start then. Ending `login` with SIGINT
// or SIGTERM, while it waits for the opener or afterwards, ends the opener's
// whole process group too; the process still ends by that signal.
TEST_F(LoginCommand, OpenerThatDoesNotReturnIsLeftAfterTenSecondsAndEndsWithTheLogin) {
  for (const int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number);
    const std::string pids = home_.file("pids-" + std::to_string(signal_number));
    Environment env = environment("");
    env.set.push_back({"TAVRINE_TEST_OPENER_SLEEP", "300"});
    env.set.push_back({"TAVRINE_TEST_OPENER_PIDS", pids});
    BackgroundProcess login({TAVRINE_BINARY, "--dev", "login"}, env);
    const auto [opener, helper] = openerPids(pids);
    ASSERT_GT(opener, 0) << login.errorOutput();
    ASSERT_GT(helper, 0);
    const auto started = std::chrono::steady_clock::now();

    if (signal_number == SIGTERM) {
      // The real clock: the one path that waits the whole 10 seconds.
      ASSERT_TRUE(login.waitForError("Waiting for OAuth callback on port 9876...\n", 30s))
          << login.errorOutput();
      EXPECT_GE(std::chrono::steady_clock::now() - started, 8s);
      EXPECT_FALSE(test_support::processHasEnded(helper)) << "the opener runs on";
    }
    login.signal(signal_number);
    const auto ended = login.wait(10s);
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(ended->term_signal, signal_number) << ended->err;
    EXPECT_TRUE(groupEndsWithin(opener, 10s));
    EXPECT_TRUE(test_support::processHasEnded(helper));
    EXPECT_FALSE(std::filesystem::exists(tokenFile()));
  }
}

}  // namespace
