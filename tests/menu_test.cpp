// ctest-properties: LABELS threaded
#include "tavrine/tray/macos.h"
#include "tavrine/tray/tray_native.h"

#include "support/temp_dir.h"
#include "tavrine/objc/headless/inspect.h"
#include "tavrine/objc/runtime.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using objc::Id;
using objc::sel_registerName;
using objc::send;
namespace headless = objc::headless;

class Menu : public ::testing::Test {
 protected:
  void SetUp() override {
    headless::setTerminateEndsProcess(false);
    headless::clearNotifications();
    // The process-wide singletons exist from their first use on.
    for (const auto& [name, message] :
         {std::pair{"NSApplication", "sharedApplication"},
          {"NSStatusBar", "systemStatusBar"},
          {"NSUserNotificationCenter", "defaultUserNotificationCenter"}}) {
      send<Id>(objc::objc_getClass(name), sel_registerName(message));
    }
    baseline_ = headless::liveObjectCount();
    unpooled_ = headless::objectsAutoreleasedWithoutPool();
    handler_existed_ = objc::objc_getClass("TavrineMenuHandler") != nullptr;
  }
  // Gives back what set-up keeps for the life of the process, so that every
  // test can show it leaves no object behind.
  void TearDown() override {
    headless::drainMainQueue();
    releaseMenu(cocoa_);
    // The handler made by the first set-up of the process lives on.
    const bool handler_made = !handler_existed_ && objc::objc_getClass("TavrineMenuHandler");
    EXPECT_EQ(headless::liveObjectCount(), baseline_ + (handler_made ? 1 : 0));
    EXPECT_EQ(headless::objectsAutoreleasedWithoutPool(), unpooled_);
  }

  static void releaseMenu(CocoaHandles& cocoa) {
    tray::macos::removeStatusItem(cocoa);
    for (Id item : {cocoa.status_menu_item, cocoa.login_menu_item, cocoa.update_menu_item}) {
      send<void>(item, sel_registerName("release"));
    }
  }

  test_support::ScopedHome home_;
  CocoaHandles cocoa_;
  bool handler_existed_ = false;
  size_t baseline_ = 0;
  size_t unpooled_ = 0;
};

TEST_F(Menu, SetUpBuildsTheStatusItemAndItsSixEntries) {
  if (handler_existed_) GTEST_SKIP() << "needs the first set-up of the process";
  ASSERT_TRUE(tray::macos::setupMenu(cocoa_));
  EXPECT_EQ(headless::statusItemTitle(), "⬡");
  EXPECT_EQ(headless::activationPolicy(), 1);
  ASSERT_NE(cocoa_.handler_class, nullptr);
  ASSERT_NE(cocoa_.menu_handler, nullptr);

  struct Expected {
    std::string title;
    std::string action;
    Id target;
    bool enabled;
    bool separator;
  };
  const std::vector<Expected> expected = {
      {"Status: Starting...", "", nullptr, false, false},
      {"", "", nullptr, false, true},
      {"Login...", "loginClicked:", cocoa_.menu_handler, true, false},
      {"Check for Updates...", "updateClicked:", cocoa_.menu_handler, true, false},
      {"", "", nullptr, false, true},
      {"Quit Tavrine", "terminate:", nullptr, true, false},
  };
  const auto entries = headless::menuEntries();
  ASSERT_EQ(entries.size(), expected.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE("entry " + std::to_string(i + 1));
    EXPECT_EQ(entries[i].separator, expected[i].separator);
    EXPECT_EQ(entries[i].enabled, expected[i].enabled);
    if (expected[i].separator) continue;
    EXPECT_EQ(entries[i].title, expected[i].title);
    EXPECT_EQ(entries[i].action, expected[i].action);
    EXPECT_EQ(entries[i].target, expected[i].target);
    EXPECT_EQ(entries[i].key_equivalent, "");
  }
  EXPECT_EQ(entries[0].item, cocoa_.status_menu_item);
  EXPECT_EQ(entries[2].item, cocoa_.login_menu_item);
  EXPECT_EQ(entries[3].item, cocoa_.update_menu_item);

  // The actions reach the run-time class's methods, and Quit the application.
  // Signed in by now, so the sign-in entry signs out and starts no login.
  test_support::writeFile(home_.tokenFile(), "{\n  \"access_token\": \"token\"\n}\n");
  testing::internal::CaptureStderr();
  EXPECT_TRUE(headless::clickTitle("Check for Updates..."));  // before any TrayState is bound
  TrayState tray;
  const std::atomic<TrayState*> bound{&tray};
  tray::macos::bindActions(cocoa_, bound);
  EXPECT_TRUE(headless::clickTitle("Login..."));
  EXPECT_FALSE(headless::clickTitle("Status: Starting...")) << "disabled";
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_NE(printed.find("Tokens cleared"), std::string::npos) << printed;
  // No TrayState is bound here, so the update check does nothing at all.
  EXPECT_EQ(printed.find("alert: "), std::string::npos) << printed;
  EXPECT_EQ(printed.find("info: Checking for updates"), std::string::npos) << printed;
  const size_t terminated = headless::terminateCount();
  EXPECT_TRUE(headless::clickTitle("Quit Tavrine"));
  EXPECT_EQ(headless::terminateCount(), terminated + 1);
  static const std::atomic<TrayState*> kNone{nullptr};
  tray::macos::bindActions(cocoa_, kNone);  // no later click reaches this test's state
}

TEST_F(Menu, SecondSetUpGoesOnWithoutTheHandler) {
  CocoaHandles first;
  ASSERT_TRUE(tray::macos::setupMenu(first));
  releaseMenu(first);
  ASSERT_TRUE(tray::macos::setupMenu(cocoa_));
  EXPECT_EQ(cocoa_.handler_class, nullptr);
  EXPECT_EQ(cocoa_.menu_handler, nullptr);
  const auto entries = headless::menuEntries();
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[2].action, "loginClicked:");
  EXPECT_EQ(entries[2].target, nullptr);
  EXPECT_EQ(entries[3].target, nullptr);
  EXPECT_FALSE(headless::clickTitle("Login..."))
      << "no target, and the application has no such action";
}

TEST_F(Menu, SignInEntryFollowsTheCredentialsFile) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\n  \"access_token\": \"token\"\n}\n", "Logout"},
      {"{\n  \"access_token\": \"\"\n}\n", "Logout"},
      {"{\n  \"refresh_token\": \"token\"\n}\n", "Login..."},
      {"not json at all", "Login..."},
  };
  for (const auto& [content, title] : cases) {
    test_support::writeFile(home_.tokenFile(), content);
    CocoaHandles cocoa;
    ASSERT_TRUE(tray::macos::setupMenu(cocoa));
    EXPECT_EQ(headless::menuEntries().at(2).title, title) << content;
    releaseMenu(cocoa);
  }
}

TEST_F(Menu, MissingClassStopsTheSetUpAtThatClass) {
  const std::vector<const char*> names = {"NSApplication", "NSStatusBar", "NSMenu",
                                          "NSMenuItem",    "NSString",    "NSObject",
                                          "NSAlert",       "NSURL",       "NSWorkspace"};
  const size_t status_items = headless::statusItemCount();
  for (size_t missing = 0; missing < names.size(); ++missing) {
    headless::HiddenClass hidden(names[missing]);
    CocoaHandles cocoa;
    const auto result = tray::macos::setupMenu(cocoa);
    ASSERT_FALSE(result) << names[missing];
    EXPECT_EQ(result.error(), Error::ClassNotFound);
    EXPECT_EQ(cocoa.app_class != nullptr, missing > 0);
    EXPECT_EQ(cocoa.workspace_class, nullptr);
    EXPECT_EQ(cocoa.status_item, nullptr);
    EXPECT_EQ(headless::statusItemCount(), status_items);
  }
}

TEST_F(Menu, StatusLineReachesTheMenuThroughTheMainThreadInOrder) {
  TrayState tray;
  tray_native::setStatus(cocoa_, tray, "Status: Running");
  EXPECT_EQ(tray.status_text, "Status: Running") << "recorded before the menu exists";

  ASSERT_TRUE(tray::macos::setupMenu(cocoa_));
  constexpr int kChanges = 200;
  std::thread check_thread([&] {
    for (int i = 1; i <= kChanges; ++i) {
      tray_native::setStatus(cocoa_, tray, "Status: Reconnecting (" + std::to_string(i) + ")");
    }
  });
  // Meanwhile the main thread applies what has arrived: the titles it sees
  // only ever move forward.
  int last_seen = 0;
  auto seen = [&] {
    const std::string title = headless::menuEntries().at(0).title;
    if (title == "Status: Starting...") return 0;
    return std::stoi(title.substr(title.find('(') + 1));
  };
  while (last_seen < kChanges) {
    headless::drainMainQueue();
    const int now = seen();
    ASSERT_GE(now, last_seen);
    last_seen = now;
    if (now < kChanges) std::this_thread::yield();
  }
  check_thread.join();
  EXPECT_EQ(tray.status_text, "Status: Reconnecting (200)");

  // A change made on the main thread is not overtaken by older queued ones.
  std::thread([&] { tray_native::setStatus(cocoa_, tray, "Status: Reconnecting (1)"); }).join();
  tray_native::setStatus(cocoa_, tray, "Status: Running");
  headless::drainMainQueue();
  EXPECT_EQ(headless::menuEntries().at(0).title, "Status: Running");
  EXPECT_EQ(headless::statusItemTitle(), "⬡") << "the glyph never changes";
}

TEST_F(Menu, NotificationsCarryTheTitleAndText) {
  ASSERT_TRUE(tray::macos::setupMenu(cocoa_));
  std::thread([&] {
    tray::macos::showNotification(cocoa_, "Device Trust Agent is running");
  }).join();
  const auto delivered = headless::notifications();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].title, "Tavrine");
  EXPECT_EQ(delivered[0].text, "Device Trust Agent is running");

  for (const char* missing : {"NSUserNotificationCenter", "NSUserNotification"}) {
    headless::HiddenClass hidden(missing);
    tray::macos::showNotification(cocoa_, "Login successful!");
  }
  EXPECT_EQ(headless::notifications().size(), 1u);
}

TEST_F(Menu, RemovingTheStatusItemKeepsTheEntryHandlesUsable) {
  ASSERT_TRUE(tray::macos::setupMenu(cocoa_));
  const size_t status_items = headless::statusItemCount();
  tray::macos::removeStatusItem(cocoa_);
  EXPECT_EQ(headless::statusItemCount(), status_items - 1);
  EXPECT_EQ(cocoa_.status_item, nullptr);
  EXPECT_EQ(cocoa_.menu, nullptr);
  TrayState tray;
  tray_native::setStatus(cocoa_, tray, "Status: Running");
  headless::drainMainQueue();
  EXPECT_EQ(tray.status_text, "Status: Running");
}

}  // namespace
