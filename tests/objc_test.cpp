// ctest-properties: LABELS threaded
#include "support/process.h"
#include "tavrine/objc/headless/inspect.h"
#include "tavrine/objc/runtime.h"
#include "tavrine/base/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using objc::Class;
using objc::Id;
using objc::Sel;
using objc::sel_registerName;
using objc::send;
namespace headless = objc::headless;

Sel sel(const char* name) { return sel_registerName(name); }
Class cls(const char* name) { return objc::objc_getClass(name); }

Id newString(const char* text) {
  return send<Id>(cls("NSString"), sel("stringWithUTF8String:"), text);
}

Id newAlert(const char* title, const std::vector<const char*>& buttons) {
  Id alert = send<Id>(send<Id>(cls("NSAlert"), sel("alloc")), sel("init"));
  send<void>(alert, sel("setMessageText:"), newString(title));
  send<void>(alert, sel("setInformativeText:"), newString("line one\nline two"));
  for (const char* button : buttons) {
    send<Id>(alert, sel("addButtonWithTitle:"), newString(button));
  }
  return alert;
}

// What the run-time class below saw; IMPs write it.
struct Seen {
  long number = 0;
  double real = 0;
  bool flag = false;
  Id sender = nullptr;
};
Seen seen;

long record(Id, Sel, long number, double real, bool flag) {
  seen.number = number;
  seen.real = real;
  seen.flag = flag;
  return number * 2;
}
void action(Id, Sel, Id sender) { seen.sender = sender; }

class Runtime : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    headless::setTerminateEndsProcess(false);
    headless::setConsoleInput(-1);
    headless::clearAlerts();
    baseline_ = headless::liveObjectCount();
  }
  void TearDown() override { headless::drainMainQueue(); }
  size_t baseline_ = 0;
  objc::AutoreleasePool pool_;
};

TEST_F(Runtime, MessagesToNilAnswerZero) {
  EXPECT_EQ(send<Id>(Id{}, sel("anything")), nullptr);
  EXPECT_EQ(send<long>(Id{}, sel("anything:"), 5L), 0);
  EXPECT_EQ(send<double>(Id{}, sel("anything")), 0.0);
  EXPECT_FALSE(send<bool>(Id{}, sel("anything")));
  send<void>(Id{}, sel("anything:"), Id{});
}

TEST_F(Runtime, RunTimeClassGetsItsMethodsWithTheirOwnSignatures) {
  Class made = objc::objc_allocateClassPair(cls("NSObject"), "RuntimeTestClass", 0);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(objc::objc_allocateClassPair(cls("NSObject"), "RuntimeTestClass", 0), nullptr);
  EXPECT_EQ(cls("RuntimeTestClass"), nullptr) << "visible before registration";
  EXPECT_TRUE(
      objc::class_addMethod(made, sel("record:real:flag:"), objc::asImp(&record), "q@:qdB"));
  EXPECT_TRUE(objc::class_addMethod(made, sel("act:"), objc::asImp(&action), "v@:@"));
  EXPECT_FALSE(objc::class_addMethod(made, sel("act:"), objc::asImp(&action), "v@:@"));
  objc::objc_registerClassPair(made);
  EXPECT_EQ(cls("RuntimeTestClass"), made);

  Id instance = send<Id>(send<Id>(made, sel("alloc")), sel("init"));
  EXPECT_EQ(send<long>(instance, sel("record:real:flag:"), 21L, 2.5, true), 42);
  EXPECT_EQ(seen.number, 21);
  EXPECT_EQ(seen.real, 2.5);
  EXPECT_TRUE(seen.flag);
  send<void>(instance, sel("act:"), instance);
  EXPECT_EQ(seen.sender, instance);
  send<void>(instance, sel("release"));
  EXPECT_EQ(headless::liveObjectCount(), baseline_);
}

TEST_F(Runtime, ListsTheStandInsOwnMethodsWithTheirEncodings) {
  Class made = objc::objc_allocateClassPair(cls("NSObject"), "ListingTestClass", 0);
  ASSERT_NE(made, nullptr);
  objc::class_addMethod(made, sel("act:"), objc::asImp(&action), "v@:@");
  objc::objc_registerClassPair(made);

  const auto methods = headless::implementedMethods();
  auto listed = [&](const char* class_name, bool class_method, const char* selector) {
    for (const auto& method : methods) {
      if (method.class_name == class_name && method.class_method == class_method &&
          method.selector == selector) {
        return method.types;
      }
    }
    return std::string("(not listed)");
  };
  EXPECT_EQ(listed("NSObject", true, "alloc"), "@@:");
  EXPECT_EQ(listed("NSObject", false, "performSelectorOnMainThread:withObject:waitUntilDone:"),
            "v@::@B");
  EXPECT_EQ(listed("NSString", true, "stringWithUTF8String:"), "@@:*");
  EXPECT_EQ(listed("NSMenuItem", false, "setEnabled:"), "v@:B");
  EXPECT_EQ(listed("NSMenuItem", true, "setEnabled:"), "(not listed)");
  EXPECT_EQ(listed("ListingTestClass", false, "act:"), "(not listed)")
      << "a class made at run time is the program's own, not AppKit's";

  auto key = [](const headless::ImplementedMethod& m) {
    return std::tie(m.class_name, m.class_method, m.selector);
  };
  for (size_t i = 1; i < methods.size(); ++i) {
    const auto& before = methods[i - 1];
    const auto& after = methods[i];
    EXPECT_NE(key(before), key(after)) << "listed twice: " << after.selector;
    if (before.class_name == after.class_name) {
      EXPECT_TRUE(before.class_method > after.class_method ||
                  (before.class_method == after.class_method && before.selector < after.selector))
          << before.selector << " before " << after.selector;
    } else {
      EXPECT_LT(before.class_name, after.class_name);
    }
  }
}

TEST_F(Runtime, StandInFailsLoudlyWhereAppKitWouldNotAnswer) {
  Id string = newString("text");
  EXPECT_DEATH(send<void>(string, sel("setTitle:"), string), "-\\[NSString setTitle:\\]");
  EXPECT_DEATH(send<Id>(cls("NSMenu"), sel("menuWithTitle:"), string),
               "\\+\\[NSMenu menuWithTitle:\\]");
  Id item = send<Id>(cls("NSMenuItem"), sel("separatorItem"));
  EXPECT_DEATH(send<void>(item, sel("setEnabled:"), 1), "sent as \"v@:i\"");
  EXPECT_DEATH(send<void>(item, sel("setTitle:"), Id{}), "nil string");
  EXPECT_DEATH(
      {
        std::thread other([&] { send<void>(item, sel("setTitle:"), string); });
        other.join();
      },
      "-\\[NSMenuItem setTitle:\\]: sent off the main thread");
  Id gone = send<Id>(send<Id>(cls("NSObject"), sel("alloc")), sel("init"));
  send<void>(gone, sel("release"));
  EXPECT_DEATH(send<void>(gone, sel("release")), "deallocated");
}

TEST_F(Runtime, AutoreleasePoolsReleaseWhatTheyCollected) {
  const size_t unpooled = headless::objectsAutoreleasedWithoutPool();
  {
    objc::AutoreleasePool outer;
    newString("outer");
    {
      objc::AutoreleasePool inner;
      newString("inner");
      EXPECT_EQ(headless::liveObjectCount(), baseline_ + 2);
    }
    EXPECT_EQ(headless::liveObjectCount(), baseline_ + 1);
  }
  EXPECT_EQ(headless::liveObjectCount(), baseline_);
  std::thread([] {
    objc::AutoreleasePool pool;
    newString("on another thread");
  }).join();
  EXPECT_EQ(headless::liveObjectCount(), baseline_);
  EXPECT_EQ(headless::objectsAutoreleasedWithoutPool(), unpooled);
  EXPECT_EQ(newString("\xC3\x28"), nullptr) << "invalid UTF-8 makes no string";
}

TEST_F(Runtime, PerformOnMainThreadKeepsOrderAndObjectsAlive) {
  Id item;
  {
    objc::AutoreleasePool pool;
    item = send<Id>(send<Id>(cls("NSMenuItem"), sel("alloc")),
                    sel("initWithTitle:action:keyEquivalent:"), newString("first"), Sel{},
                    newString(""));
  }
  Id menu = send<Id>(send<Id>(cls("NSMenu"), sel("alloc")), sel("init"));
  send<void>(menu, sel("addItem:"), item);
  std::thread([&] {
    for (int i = 0; i < 50; ++i) {
      objc::AutoreleasePool pool;
      Id title = newString(std::to_string(i).c_str());
      send<void>(item, sel("performSelectorOnMainThread:withObject:waitUntilDone:"),
                 sel("setTitle:"), title, false);
    }
  }).join();
  EXPECT_EQ(headless::menuEntries(menu).front().title, "first")
      << "nothing before the main thread runs";
  EXPECT_EQ(headless::liveObjectCount(), baseline_ + 2 + 50) << "queued titles are kept alive";
  EXPECT_EQ(headless::drainMainQueue(), 50u);
  EXPECT_EQ(headless::menuEntries(menu).front().title, "49");

  // Waiting: the sender is blocked until the main thread has run it.
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    objc::AutoreleasePool pool;
    send<void>(item, sel("performSelectorOnMainThread:withObject:waitUntilDone:"), sel("setTitle:"),
               newString("waited"), true);
    returned = true;
  });
  while (headless::drainMainQueue() == 0) std::this_thread::yield();
  waiter.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(headless::menuEntries(menu).front().title, "waited");

  send<void>(item, sel("release"));
  send<void>(menu, sel("release"));
  EXPECT_EQ(headless::liveObjectCount(), baseline_);
}

TEST_F(Runtime, TerminationSignalsEndTheLoopThroughTerminate) {
  Id app = send<Id>(cls("NSApplication"), sel("sharedApplication"));
  objc::handleTerminationSignals();  // so an early signal cannot kill the test
  // A console reads while the loop runs; its thread and pipes must not outlive it.
  auto input = makePipe(O_CLOEXEC);
  ASSERT_TRUE(input);
  headless::setConsoleInput(input->first.get());
  const int descriptors = test_support::openDescriptorCount();
  for (const int signal_number : {SIGTERM, SIGINT}) {
    const size_t terminated = headless::terminateCount();
    // Raised once the loop is likely waiting; one that comes earlier waits in
    // the pipe and ends the loop just the same.
    std::thread signaller([signal_number] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ::kill(::getpid(), signal_number);
    });
    send<void>(app, sel("run"));
    signaller.join();
    EXPECT_EQ(headless::terminateCount(), terminated + 1) << "signal " << signal_number;
  }
  EXPECT_EQ(test_support::openDescriptorCount(), descriptors);
  headless::setConsoleInput(-1);
}

TEST_F(Runtime, AlertsTakeTheirAnswerOrTheLastButton) {
  struct Case {
    std::vector<const char*> buttons;
    std::vector<std::string> answers;
    long expected;
    std::string answered;
  };
  const std::vector<Case> cases = {
      {{"Update Now", "Later"}, {"Update Now"}, 1000, "Update Now"},
      {{"Update Now", "Later"}, {}, 1001, "Later"},
      {{"Update Now", "Later"}, {"Never"}, 1001, "Later"},
      {{"Update Now", "Later"}, {"Never", "Update Now"}, 1000, "Update Now"},
      {{}, {}, 1000, "OK"},
  };
  for (const auto& c : cases) {
    headless::clearAlerts();
    for (const auto& answer : c.answers) headless::answerAlert(answer);
    Id alert = newAlert("Update Available", c.buttons);
    EXPECT_EQ(send<long>(alert, sel("runModal")), c.expected);
    send<void>(alert, sel("release"));
    const auto shown = headless::alerts();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].title, "Update Available");
    EXPECT_EQ(shown[0].message, "line one\nline two");
    EXPECT_EQ(shown[0].answer, c.answered);
  }
}

}  // namespace
