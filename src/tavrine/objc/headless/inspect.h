#pragma once

// The headless stand-in seen from outside: what the menu bar, the
// notification centre and the alerts would show a person, and the means to
// act as that person (click an entry, answer an alert). For tests and for the
// headless console. Everything here runs on the main thread unless it says
// otherwise.

#include "tavrine/objc/types.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace objc::headless {

// One entry of a menu as it stands now.
struct MenuEntry {
  Id item = nullptr;
  std::string title;
  std::string key_equivalent;
  std::string action;  // selector name, empty for none
  Id target = nullptr;
  bool enabled = true;
  bool separator = false;
};

// The newest status item in the status bar: the title of its button, and the
// entries of its menu. Nothing / empty without a status item (or menu).
[[nodiscard]] std::optional<std::string> statusItemTitle();
[[nodiscard]] std::vector<MenuEntry> menuEntries();
[[nodiscard]] size_t statusItemCount();

// The entries of one menu.
[[nodiscard]] std::vector<MenuEntry> menuEntries(Id menu);

// Chooses a menu item as a person would: nothing for a separator, a disabled
// entry or one without an action; otherwise its action goes to its target,
// or, without a target, to the application when it answers the action.
// Returns whether an action was sent.
bool click(Id item);

// Clicks the first entry of any status item's menu whose current title is
// exactly `title`; false when there is none or it cannot be chosen.
bool clickTitle(std::string_view title);

// Notifications delivered so far (any thread).
struct Notification {
  std::string title;
  std::string text;
};
[[nodiscard]] std::vector<Notification> notifications();
void clearNotifications();

// Alerts shown so far, with the button that answered each.
struct Alert {
  std::string title;
  std::string message;
  unsigned long style = 0;
  std::vector<std::string> buttons;
  std::string answer;
};
[[nodiscard]] std::vector<Alert> alerts();
void clearAlerts();

// Answers the alert being shown, or the next one, with the button titled
// `button`. An alert with no answer waiting, once input has ended (or when no
// console reads input), is answered with its last button.
void answerAlert(std::string button);

// Runs everything queued for the main thread so far, each in its own
// autorelease pool, as one pass of the application loop would. Returns how
// many items ran.
size_t drainMainQueue();

// The objects alive now, and those autoreleased with no pool in place (which
// leak, as they would under AppKit). Any thread.
[[nodiscard]] size_t liveObjectCount();
[[nodiscard]] size_t objectsAutoreleasedWithoutPool();

// The application's activation policy (0 until one is set), and how many
// times it was sent terminate:.
[[nodiscard]] long activationPolicy();
[[nodiscard]] size_t terminateCount();

// By default terminate: ends the process with status 0, as AppKit does. Tests
// that run the loop in-process turn that off: terminate: then only makes
// `run` return.
void setTerminateEndsProcess(bool ends_process);

// The descriptor the headless console reads while the application loop runs:
// standard input by default, -1 for none. Not owned.
void setConsoleInput(int fd);

// One method that a class of the stand-in implements, with the type encoding
// ("v@:B" style, no offsets) that every send to it is checked against.
struct ImplementedMethod {
  std::string class_name;
  bool class_method = false;  // +[...] rather than -[...]
  std::string selector;
  std::string types;
};

// Every method of the stand-in's own classes (NSObject and the AppKit
// classes, not those the program makes at run time), sorted by class, then
// class methods before instance methods, then selector. Any thread.
[[nodiscard]] std::vector<ImplementedMethod> implementedMethods();

// Makes objc_getClass answer nullptr for `name` while the object lives.
class HiddenClass {
 public:
  explicit HiddenClass(std::string name);
  HiddenClass(const HiddenClass&) = delete;
  HiddenClass& operator=(const HiddenClass&) = delete;
  ~HiddenClass();

 private:
  std::string name_;
};

}  // namespace objc::headless
