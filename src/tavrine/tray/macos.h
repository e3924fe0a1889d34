#pragma once

#include "tavrine/base/error.h"
#include "tavrine/objc/types.h"
#include "tavrine/tray/handles.h"

#include <atomic>
#include <string_view>

// The menu bar interface, built through the Objective-C runtime: the status
// item with its menu, the run-time class whose methods are the menu actions,
// and user notifications. The same code runs on macOS and on the headless
// stand-in.
namespace tray::macos {

// A new, autoreleased string object holding `text`; nullptr when the NSString
// class is not known yet or `text` is not valid UTF-8. Needs an autorelease
// pool on threads other than the main one.
[[nodiscard]] objc::Id createNSString(const CocoaHandles& cocoa, std::string_view text);

// A new menu item (owned by the caller) titled `title`, with `action` (nullptr
// for none) and no key equivalent; nullptr when the title cannot be made.
[[nodiscard]] objc::Id createMenuItem(const CocoaHandles& cocoa, std::string_view title,
                                      objc::Sel action);

// Posts a user notification titled "Tavrine" with `text` as its informative
// text. Posts nothing, quietly, when the notification classes or the NSString
// class are missing. Any thread, once setupMenu has found the classes.
void showNotification(const CocoaHandles& cocoa, std::string_view text);

// Builds the menu bar interface on the main thread and records its handles in
// `cocoa`: the classes, the TavrineMenuHandler class and its one instance
// (both absent when a class of that name already exists), the status item
// "⬡" and its menu of six entries. ClassNotFound at the first missing class.
[[nodiscard]] Result<void> setupMenu(CocoaHandles& cocoa);

// Takes the status item out of the status bar and lets go of the menu
// (status_item and menu are cleared). The entry handles stay valid until the
// process ends. Main thread.
void removeStatusItem(CocoaHandles& cocoa);

// Tells the menu actions what they work on: the handles of the menu and the
// slot that holds the TrayState while the menu exists (a click while it is
// empty does nothing). Both must outlive every click. Main thread, before the
// application loop runs.
void bindActions(const CocoaHandles& cocoa, const std::atomic<TrayState*>& tray) noexcept;

// The menu actions ("loginClicked:", "updateClicked:"), on the main thread.
void onLoginClicked();
void onUpdateClicked();

}  // namespace tray::macos
