#include "tavrine/tray/macos.h"

#include "tavrine/objc/runtime.h"
#include "tavrine/signin/token_store.h"
#include "tavrine/tray/bound_actions.h"

#include <string>

namespace tray::macos {
namespace {

using objc::Id;
using objc::Sel;
using objc::sel_registerName;
using objc::send;

// The menu actions as the runtime calls them: receiver, selector, sender.
void loginClicked(Id, Sel, Id) { onLoginClicked(); }
void updateClicked(Id, Sel, Id) { onUpdateClicked(); }

constexpr const char* kActionTypes = "v@:@";

// Adds `item` to the menu; AppKit refuses a nil item.
void addItem(Id menu, Id item) {
  if (item != nullptr) send<void>(menu, sel_registerName("addItem:"), item);
}

void release(Id object) { send<void>(object, sel_registerName("release")); }

// Looks up each class the interface uses, in order, storing each as found.
Result<void> findClasses(CocoaHandles& cocoa) {
  const struct {
    const char* name;
    objc::Class CocoaHandles::*handle;
  } classes[] = {
      {"NSApplication", &CocoaHandles::app_class},
      {"NSStatusBar", &CocoaHandles::status_bar_class},
      {"NSMenu", &CocoaHandles::menu_class},
      {"NSMenuItem", &CocoaHandles::menu_item_class},
      {"NSString", &CocoaHandles::string_class},
      {"NSObject", &CocoaHandles::object_class},
      {"NSAlert", &CocoaHandles::alert_class},
      {"NSURL", &CocoaHandles::url_class},
      {"NSWorkspace", &CocoaHandles::workspace_class},
  };
  for (const auto& entry : classes) {
    cocoa.*entry.handle = objc::objc_getClass(entry.name);
    if (cocoa.*entry.handle == nullptr) return fail(Error::ClassNotFound);
  }
  return {};
}

// A second set-up in the same process finds the class already there and goes
// on without a handler: the two action entries then have no target.
void createHandler(CocoaHandles& cocoa) {
  objc::Class handler = objc::objc_allocateClassPair(cocoa.object_class, "TavrineMenuHandler", 0);
  if (handler == nullptr) return;
  objc::class_addMethod(handler, sel_registerName("loginClicked:"), objc::asImp(&loginClicked),
                        kActionTypes);
  objc::class_addMethod(handler, sel_registerName("updateClicked:"), objc::asImp(&updateClicked),
                        kActionTypes);
  objc::objc_registerClassPair(handler);
  cocoa.handler_class = handler;
  const Id allocated = send<Id>(handler, sel_registerName("alloc"));
  cocoa.menu_handler = send<Id>(allocated, sel_registerName("init"));
}

// An action entry aimed at the handler (when there is one).
Id createActionItem(CocoaHandles& cocoa, std::string_view title, const char* action) {
  const Id item = createMenuItem(cocoa, title, sel_registerName(action));
  if (cocoa.menu_handler != nullptr) {
    send<void>(item, sel_registerName("setTarget:"), cocoa.menu_handler);
  }
  return item;
}

}  // namespace

Id createNSString(const CocoaHandles& cocoa, std::string_view text) {
  const std::string terminated(text);  // Cocoa reads up to the NUL
  return send<Id>(cocoa.string_class, sel_registerName("stringWithUTF8String:"),
                  terminated.c_str());
}

Id createMenuItem(const CocoaHandles& cocoa, std::string_view title, Sel action) {
  const Id title_string = createNSString(cocoa, title);
  const Id no_key = createNSString(cocoa, "");
  if (title_string == nullptr || no_key == nullptr) return nullptr;
  const Id allocated = send<Id>(cocoa.menu_item_class, sel_registerName("alloc"));
  return send<Id>(allocated, sel_registerName("initWithTitle:action:keyEquivalent:"), title_string,
                  action, no_key);
}

void showNotification(const CocoaHandles& cocoa, std::string_view text) {
  const objc::Class center_class = objc::objc_getClass("NSUserNotificationCenter");
  const objc::Class notification_class = objc::objc_getClass("NSUserNotification");
  if (center_class == nullptr || notification_class == nullptr) return;
  objc::AutoreleasePool pool;  // callers may be on any thread
  const Id title = createNSString(cocoa, "Tavrine");
  const Id informative = createNSString(cocoa, text);
  if (title == nullptr || informative == nullptr) return;
  const Id center = send<Id>(center_class, sel_registerName("defaultUserNotificationCenter"));
  const Id allocated = send<Id>(notification_class, sel_registerName("alloc"));
  const Id notification = send<Id>(allocated, sel_registerName("init"));
  send<void>(notification, sel_registerName("setTitle:"), title);
  send<void>(notification, sel_registerName("setInformativeText:"), informative);
  send<void>(center, sel_registerName("deliverNotification:"), notification);
  release(notification);  // the centre keeps what it needs
}

Result<void> setupMenu(CocoaHandles& cocoa) {
  if (auto found = findClasses(cocoa); !found) return found;
  objc::AutoreleasePool pool;  // the strings and separators made here
  createHandler(cocoa);

  const Id app = send<Id>(cocoa.app_class, sel_registerName("sharedApplication"));
  // Accessory: no Dock icon and no application menu.
  send<void>(app, sel_registerName("setActivationPolicy:"), 1L);

  const Id bar = send<Id>(cocoa.status_bar_class, sel_registerName("systemStatusBar"));
  // -1: the item is as wide as its title. The bar does not keep the item it
  // hands out (it is autoreleased, and leaves the bar when deallocated), so
  // the handle holds a reference of its own until removeStatusItem.
  cocoa.status_item = send<Id>(send<Id>(bar, sel_registerName("statusItemWithLength:"), -1.0),
                               sel_registerName("retain"));
  const Id button = send<Id>(cocoa.status_item, sel_registerName("button"));
  send<void>(button, sel_registerName("setTitle:"), createNSString(cocoa, "⬡"));

  const Id allocated = send<Id>(cocoa.menu_class, sel_registerName("alloc"));
  cocoa.menu = send<Id>(allocated, sel_registerName("init"));

  cocoa.status_menu_item = createMenuItem(cocoa, "Status: Starting...", nullptr);
  send<void>(cocoa.status_menu_item, sel_registerName("setEnabled:"), false);
  addItem(cocoa.menu, cocoa.status_menu_item);
  addItem(cocoa.menu, send<Id>(cocoa.menu_item_class, sel_registerName("separatorItem")));

  cocoa.login_menu_item =
      createActionItem(cocoa, token_store::isLoggedIn() ? "Logout" : "Login...", "loginClicked:");
  addItem(cocoa.menu, cocoa.login_menu_item);
  cocoa.update_menu_item = createActionItem(cocoa, "Check for Updates...", "updateClicked:");
  addItem(cocoa.menu, cocoa.update_menu_item);
  addItem(cocoa.menu, send<Id>(cocoa.menu_item_class, sel_registerName("separatorItem")));

  // Without a target, "terminate:" goes to the application.
  const Id quit = createMenuItem(cocoa, "Quit Tavrine", sel_registerName("terminate:"));
  addItem(cocoa.menu, quit);
  release(quit);  // the menu holds it; no handle does

  send<void>(cocoa.status_item, sel_registerName("setMenu:"), cocoa.menu);
  return {};
}

void removeStatusItem(CocoaHandles& cocoa) {
  if (cocoa.status_item != nullptr) {
    const Id bar = send<Id>(cocoa.status_bar_class, sel_registerName("systemStatusBar"));
    send<void>(bar, sel_registerName("removeStatusItem:"), cocoa.status_item);
    release(cocoa.status_item);
    cocoa.status_item = nullptr;
  }
  release(cocoa.menu);
  cocoa.menu = nullptr;
}

namespace {
std::atomic<const CocoaHandles*> bound_cocoa{nullptr};
std::atomic<const std::atomic<TrayState*>*> bound_tray{nullptr};
}  // namespace

void bindActions(const CocoaHandles& cocoa, const std::atomic<TrayState*>& tray) noexcept {
  bound_cocoa.store(&cocoa);
  bound_tray.store(&tray);
}

namespace detail {
const CocoaHandles* boundCocoa() noexcept { return bound_cocoa.load(); }
TrayState* boundTray() noexcept {
  const std::atomic<TrayState*>* slot = bound_tray.load();
  return slot == nullptr ? nullptr : slot->load();
}
}  // namespace detail

}  // namespace tray::macos
