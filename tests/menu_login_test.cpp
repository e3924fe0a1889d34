// ctest-properties: RESOURCE_LOCK port9876 LABELS threaded
#include "tavrine/tray/login_action.h"

#include "support/oauth_browser.h"
#include "support/servers.h"
#include "support/temp_dir.h"
#include "tavrine/objc/headless/inspect.h"
#include "tavrine/objc/runtime.h"
#include "tavrine/signin/oauth_listener.h"
#include "tavrine/signin/token_store.h"
#include "tavrine/tray/macos.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace {

using namespace std::chrono_literals;
using objc::sel_registerName;
using objc::send;
using test_support::Browser;
namespace headless = objc::headless;

// The menu is built once for the process, as in the agent: only the first
// set-up gets the handler that the sign-in entry's clicks go to.
CocoaHandles& cocoa() {
  static CocoaHandles handles;
  return handles;
}
TrayState tray_state;
const std::atomic<TrayState*> tray_slot{&tray_state};

size_t threadCount() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                           std::filesystem::directory_iterator()));
}

class MenuLogin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    headless::setTerminateEndsProcess(false);
    const test_support::ScopedHome home;
    ASSERT_TRUE(tray::macos::setupMenu(cocoa()));
    tray::macos::bindActions(cocoa(), tray_slot);
  }

  void SetUp() override {
    headless::drainMainQueue();
    headless::clearNotifications();
    tokens_.server().Post("/o/token/", [this](const httplib::Request&, httplib::Response& r) {
      r.status = token_status_.load();
      r.set_content(R"({"access_token": "menu-access", "refresh_token": "menu-refresh"})",
                    "application/json");
    });
    tokens_.start();
    tray::macos::setLoginSettings({.deadline = 20s, .token_url = tokens_.url("/o/token/")});
    setTitle("Login...");
  }

  void TearDown() override { tray::macos::setLoginSettings({}); }

  static void setTitle(const char* title) {
    const objc::AutoreleasePool pool;
    send<void>(cocoa().login_menu_item, sel_registerName("setTitle:"),
               tray::macos::createNSString(cocoa(), title));
  }
  static std::string title() { return headless::menuEntries().at(2).title; }

  // Serves the main thread until `count` notifications have been posted.
  static std::vector<std::string> awaitNotifications(size_t count) {
    const auto give_up = std::chrono::steady_clock::now() + 30s;
    for (;;) {
      headless::drainMainQueue();
      const auto posted = headless::notifications();
      if (posted.size() >= count || std::chrono::steady_clock::now() > give_up) {
        std::vector<std::string> texts;
        for (const auto& n : posted) {
          EXPECT_EQ(n.title, "Tavrine");
          texts.push_back(n.text);
        }
        return texts;
      }
      std::this_thread::sleep_for(5ms);
    }
  }

  test_support::ScopedHome home_;
  test_support::LoopbackHttpServer tokens_;
  std::atomic<int> token_status_{200};
  Browser browser_;
};

TEST_F(MenuLogin, SignedInClickSignsOutAtOnceWithoutALogin) {
  test_support::writeFile(home_.tokenFile(), "{\n  \"access_token\": \"old\"\n}\n");
  setTitle("Logout");
  const size_t threads = threadCount();
  ASSERT_TRUE(headless::clickTitle("Logout"));
  EXPECT_EQ(threadCount(), threads) << "no sign-in thread";
  EXPECT_FALSE(std::filesystem::exists(home_.tokenFile()));
  EXPECT_EQ(awaitNotifications(1), std::vector<std::string>{"You have been logged out"});
  EXPECT_EQ(title(), "Login...");
  EXPECT_TRUE(browser_.openedArguments().empty());
}

TEST_F(MenuLogin, SuccessfulLoginStoresTheTokensAndSaysSo) {
  ASSERT_TRUE(headless::clickTitle("Login..."));
  headless::drainMainQueue();
  EXPECT_EQ(title(), "Login...") << "the click returns before the login ends";

  const std::string url = browser_.awaitOpenedUrl();
  EXPECT_EQ(browser_.get("/callback?code=c&state=" + Browser::parameter(url, "state")),
            std::string(oauth::kSuccessPage));
  EXPECT_EQ(awaitNotifications(1), std::vector<std::string>{"Login successful!"});
  EXPECT_EQ(title(), "Logout");
  const auto stored = token_store::load();
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->access_token, "menu-access");
  EXPECT_EQ(stored->refresh_token, "menu-refresh");
  EXPECT_EQ(stored->device_token, std::nullopt);
  EXPECT_EQ(stored->user_email, std::nullopt);
}

TEST_F(MenuLogin, LoginThatRunsOutOfTimeSaysSo) {
  tray::macos::setLoginSettings({.deadline = 300ms, .token_url = tokens_.url("/o/token/")});
  ASSERT_TRUE(headless::clickTitle("Login..."));
  (void)browser_.awaitOpenedUrl();
  EXPECT_EQ(awaitNotifications(1), std::vector<std::string>{"Login timed out"});
  EXPECT_EQ(title(), "Login...");
  EXPECT_FALSE(std::filesystem::exists(home_.tokenFile()));
}

TEST_F(MenuLogin, SecondLoginAtOnceAndARefusedExchangeBothFail) {
  token_status_ = 400;
  ASSERT_TRUE(headless::clickTitle("Login..."));
  ASSERT_TRUE(headless::clickTitle("Login..."));
  const std::string first = browser_.awaitOpenedUrl();
  const std::string second = browser_.awaitOpenedUrl();
  // Whichever login bound the port first waits; the other cannot listen.
  EXPECT_EQ(awaitNotifications(1), std::vector<std::string>{"Login failed"});

  // The waiting one gets its callback (the other's state is a mismatch);
  // the token endpoint refuses the code.
  const std::string answer =
      browser_.get("/callback?code=c&state=" + Browser::parameter(first, "state"));
  if (answer != oauth::kSuccessPage) {
    EXPECT_EQ(answer, oauth::kFailurePage);
    EXPECT_EQ(browser_.get("/callback?code=c&state=" + Browser::parameter(second, "state")),
              oauth::kSuccessPage);
  }
  EXPECT_EQ(awaitNotifications(2), (std::vector<std::string>{"Login failed", "Login failed"}));
  EXPECT_EQ(title(), "Login...");
  EXPECT_FALSE(std::filesystem::exists(home_.tokenFile()));
}

}  // namespace
