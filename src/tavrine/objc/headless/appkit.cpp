// The AppKit classes of the stand-in, each answering exactly the messages the
// agent sends, and the inspection API that shows their state.
#include "tavrine/base/console.h"
#include "tavrine/base/immortal.h"
#include "tavrine/objc/headless/inspect.h"
#include "tavrine/objc/headless/object_model.h"
#include "tavrine/objc/headless/run_loop.h"

#include <fmt/format.h>

#include <algorithm>
#include <mutex>

namespace objc::headless::detail {
namespace {

struct StringObject final : Object {
  using Object::Object;
  std::string utf8;
};

struct ApplicationObject final : Object {
  using Object::Object;
  long activation_policy = 0;
};

struct ButtonObject final : Object {
  using Object::Object;
  std::string title;
};

struct MenuItemObject final : Object {
  using Object::Object;
  std::string title;
  std::string key_equivalent;
  Sel action = nullptr;
  Id target = nullptr;  // not retained, as in AppKit
  bool enabled = true;
  bool separator = false;
  bool in_menu = false;
};

struct MenuObject final : Object {
  using Object::Object;
  ~MenuObject() override {
    for (Id item : items) {
      static_cast<MenuItemObject*>(item)->in_menu = false;
      release(item);
    }
  }
  std::vector<Id> items;  // retained
};

struct StatusItemObject final : Object {
  using Object::Object;
  ~StatusItemObject() override;
  double length = 0;
  Id button = nullptr;  // owned
  Id menu = nullptr;    // retained
};

// As in AppKit, the bar holds no reference to its items: whoever asked for
// an item must retain it, and an item that goes away leaves the bar.
struct StatusBarObject final : Object {
  using Object::Object;
  std::vector<Id> items;  // not retained
};

struct NotificationObject final : Object {
  using Object::Object;
  std::string title;
  std::string informative_text;
};

struct AlertObject final : Object {
  using Object::Object;
  ~AlertObject() override {
    for (Id button : buttons) release(button);
  }
  std::string message_text;
  std::string informative_text;
  unsigned long style = 0;
  std::vector<Id> buttons;  // owned
};

template <class T>
ClassRecord::Factory factoryOf() {
  return [](ClassRecord* cls) -> Object* { return new T(cls); };
}

// Texts written to the console stay on one line.
std::string oneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  return text;
}

// What the notification centre and the alerts have shown; any thread.
struct Shown {
  std::mutex lock;
  std::vector<Notification> notifications;
  std::vector<Alert> alerts;
};
Shown& shown() { return immortal<Shown>(); }

StatusBarObject* status_bar = nullptr;  // main thread

StatusItemObject::~StatusItemObject() {
  if (status_bar != nullptr) std::erase(status_bar->items, this);
  release(button);
  release(menu);
}

bool validUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    unsigned int code = 0;
    if (byte < 0x80) {
      ++i;
      continue;
    } else if ((byte & 0xE0) == 0xC0) {
      extra = 1, code = byte & 0x1F;
    } else if ((byte & 0xF0) == 0xE0) {
      extra = 2, code = byte & 0x0F;
    } else if ((byte & 0xF8) == 0xF0) {
      extra = 3, code = byte & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr unsigned int kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

// NSString
Id stringWithUTF8String(Id self, Sel cmd, const char* text) {
  if (text == nullptr) fatal(describe(self, cmd) + ": NULL text");
  if (!validUtf8(text)) return nullptr;
  auto& string = static_cast<StringObject&>(*allocate(classNamed("NSString")));
  string.utf8 = text;
  return autorelease(&string);
}

// NSApplication
Id sharedApplication(Id, Sel) {
  static Id const application = allocate(classNamed("NSApplication"));
  return application;
}
bool setActivationPolicy(Id self, Sel cmd, long policy) {
  requireMainThread(self, cmd);
  as<ApplicationObject>(self, cmd).activation_policy = policy;
  return true;
}
void run(Id self, Sel cmd) {
  requireMainThread(self, cmd);
  runApplicationLoop();
}
void terminate(Id self, Sel cmd, Id) {
  requireMainThread(self, cmd);
  terminateApplication();
}

// NSStatusBar and NSStatusItem
Id systemStatusBar(Id, Sel) {
  static Id const bar = [] {
    Id object = allocate(classNamed("NSStatusBar"));
    status_bar = static_cast<StatusBarObject*>(object);
    return object;
  }();
  return bar;
}
Id statusItemWithLength(Id self, Sel cmd, double length) {
  requireMainThread(self, cmd);
  auto& item = static_cast<StatusItemObject&>(*allocate(classNamed("NSStatusItem")));
  item.length = length;
  item.button = allocate(classNamed("NSStatusBarButton"));
  as<StatusBarObject>(self, cmd).items.push_back(&item);
  return autorelease(&item);
}
void removeStatusItem(Id self, Sel cmd, Id item) {
  requireMainThread(self, cmd);
  auto& items = as<StatusBarObject>(self, cmd).items;
  const auto found = std::find(items.begin(), items.end(), item);
  if (found == items.end()) return;
  items.erase(found);
}
Id button(Id self, Sel cmd) { return as<StatusItemObject>(self, cmd).button; }
void setMenu(Id self, Sel cmd, Id menu) {
  requireMainThread(self, cmd);
  auto& item = as<StatusItemObject>(self, cmd);
  if (menu != nullptr) as<MenuObject>(menu, cmd);
  retain(menu);
  release(item.menu);
  item.menu = menu;
}
void setButtonTitle(Id self, Sel cmd, Id title) {
  requireMainThread(self, cmd);
  as<ButtonObject>(self, cmd).title = stringValue(title, self, cmd);
}

// NSMenu and NSMenuItem
void addItem(Id self, Sel cmd, Id item) {
  requireMainThread(self, cmd);
  if (item == nullptr) fatal(describe(self, cmd) + ": nil item");
  auto& entry = as<MenuItemObject>(item, cmd);
  if (entry.in_menu) fatal(describe(self, cmd) + ": the item is already in a menu");
  entry.in_menu = true;
  as<MenuObject>(self, cmd).items.push_back(retain(item));
}
Id separatorItem(Id, Sel) {
  auto& item = static_cast<MenuItemObject&>(*allocate(classNamed("NSMenuItem")));
  item.separator = true;
  item.enabled = false;
  return autorelease(&item);
}
Id initWithTitle(Id self, Sel cmd, Id title, Sel action, Id key_equivalent) {
  auto& item = as<MenuItemObject>(self, cmd);
  item.title = stringValue(title, self, cmd);
  item.action = action;
  item.key_equivalent = stringValue(key_equivalent, self, cmd);
  return self;
}
void setEnabled(Id self, Sel cmd, bool enabled) {
  requireMainThread(self, cmd);
  as<MenuItemObject>(self, cmd).enabled = enabled;
}
void setTarget(Id self, Sel cmd, Id target) {
  requireMainThread(self, cmd);
  as<MenuItemObject>(self, cmd).target = target;
}
void setItemTitle(Id self, Sel cmd, Id title) {
  requireMainThread(self, cmd);
  as<MenuItemObject>(self, cmd).title = stringValue(title, self, cmd);
}

// NSUserNotificationCenter and NSUserNotification
Id defaultUserNotificationCenter(Id, Sel) {
  static Id const center = allocate(classNamed("NSUserNotificationCenter"));
  return center;
}
void deliverNotification(Id self, Sel cmd, Id notification) {
  if (notification == nullptr) fatal(describe(self, cmd) + ": nil notification");
  const auto& delivered = as<NotificationObject>(notification, cmd);
  console::line(fmt::format("notification: {}\n", oneLine(delivered.informative_text)));
  std::lock_guard guard(shown().lock);
  shown().notifications.push_back({delivered.title, delivered.informative_text});
}
void setNotificationTitle(Id self, Sel cmd, Id title) {
  as<NotificationObject>(self, cmd).title = stringValue(title, self, cmd);
}
void setNotificationText(Id self, Sel cmd, Id text) {
  as<NotificationObject>(self, cmd).informative_text = stringValue(text, self, cmd);
}

// NSAlert
void setMessageText(Id self, Sel cmd, Id text) {
  as<AlertObject>(self, cmd).message_text = stringValue(text, self, cmd);
}
void setAlertText(Id self, Sel cmd, Id text) {
  as<AlertObject>(self, cmd).informative_text = stringValue(text, self, cmd);
}
void setAlertStyle(Id self, Sel cmd, unsigned long style) {
  as<AlertObject>(self, cmd).style = style;
}
Id addButtonWithTitle(Id self, Sel cmd, Id title) {
  auto& alert = as<AlertObject>(self, cmd);
  auto& added = static_cast<ButtonObject&>(*allocate(classNamed("NSButton")));
  added.title = stringValue(title, self, cmd);
  alert.buttons.push_back(&added);
  return &added;
}
long runModal(Id self, Sel cmd) {
  requireMainThread(self, cmd);
  const auto& alert = as<AlertObject>(self, cmd);
  std::vector<std::string> buttons;
  for (Id added : alert.buttons) buttons.push_back(static_cast<ButtonObject*>(added)->title);
  // An alert without buttons of its own gets AppKit's single "OK".
  if (buttons.empty()) buttons.emplace_back("OK");
  std::string line =
      fmt::format("alert: {}: {}", oneLine(alert.message_text), oneLine(alert.informative_text));
  for (const auto& title : buttons) line += fmt::format(" [{}]", title);
  line += '\n';
  console::line(line);
  size_t index;
  {
    std::lock_guard guard(shown().lock);
    shown().alerts.push_back(
        {alert.message_text, alert.informative_text, alert.style, buttons, std::string()});
  }
  index = waitForAlertAnswer(buttons);
  {
    std::lock_guard guard(shown().lock);
    shown().alerts.back().answer = buttons[index];
  }
  return 1000 + static_cast<long>(index);  // NSAlertFirstButtonReturn + index
}

MenuItemObject* menuItem(Id item) {
  auto* entry = dynamic_cast<MenuItemObject*>(item);
  if (entry == nullptr) fatal("not a menu item");
  return entry;
}

StatusItemObject* newestStatusItem() {
  if (status_bar == nullptr || status_bar->items.empty()) return nullptr;
  return static_cast<StatusItemObject*>(status_bar->items.back());
}

}  // namespace

const std::string& stringValue(Id string, Id receiver, Sel selector) {
  if (string == nullptr) fatal(describe(receiver, selector) + ": nil string");
  auto* typed = dynamic_cast<StringObject*>(string);
  if (typed == nullptr) fatal(describe(receiver, selector) + ": argument is not a string");
  return typed->utf8;
}

void defineAppKit(ClassRecord* object) {
  ClassRecord* string = defineClass("NSString", object, factoryOf<StringObject>());
  classMethod(string, "stringWithUTF8String:", &stringWithUTF8String);

  ClassRecord* application = defineClass("NSApplication", object, factoryOf<ApplicationObject>());
  classMethod(application, "sharedApplication", &sharedApplication);
  instanceMethod(application, "setActivationPolicy:", &setActivationPolicy);
  instanceMethod(application, "run", &run);
  instanceMethod(application, "terminate:", &terminate);

  ClassRecord* bar = defineClass("NSStatusBar", object, factoryOf<StatusBarObject>());
  classMethod(bar, "systemStatusBar", &systemStatusBar);
  instanceMethod(bar, "statusItemWithLength:", &statusItemWithLength);
  instanceMethod(bar, "removeStatusItem:", &removeStatusItem);

  ClassRecord* status_item = defineClass("NSStatusItem", object, factoryOf<StatusItemObject>());
  instanceMethod(status_item, "button", &button);
  instanceMethod(status_item, "setMenu:", &setMenu);

  ClassRecord* button_class = defineClass("NSButton", object, factoryOf<ButtonObject>());
  instanceMethod(button_class, "setTitle:", &setButtonTitle);
  defineClass("NSStatusBarButton", button_class);

  ClassRecord* menu = defineClass("NSMenu", object, factoryOf<MenuObject>());
  instanceMethod(menu, "addItem:", &addItem);

  ClassRecord* menu_item = defineClass("NSMenuItem", object, factoryOf<MenuItemObject>());
  classMethod(menu_item, "separatorItem", &separatorItem);
  instanceMethod(menu_item, "initWithTitle:action:keyEquivalent:", &initWithTitle);
  instanceMethod(menu_item, "setEnabled:", &setEnabled);
  instanceMethod(menu_item, "setTarget:", &setTarget);
  instanceMethod(menu_item, "setTitle:", &setItemTitle);

  ClassRecord* center = defineClass("NSUserNotificationCenter", object);
  classMethod(center, "defaultUserNotificationCenter", &defaultUserNotificationCenter);
  instanceMethod(center, "deliverNotification:", &deliverNotification);

  ClassRecord* notification =
      defineClass("NSUserNotification", object, factoryOf<NotificationObject>());
  instanceMethod(notification, "setTitle:", &setNotificationTitle);
  instanceMethod(notification, "setInformativeText:", &setNotificationText);

  ClassRecord* alert = defineClass("NSAlert", object, factoryOf<AlertObject>());
  instanceMethod(alert, "setMessageText:", &setMessageText);
  instanceMethod(alert, "setInformativeText:", &setAlertText);
  instanceMethod(alert, "setAlertStyle:", &setAlertStyle);
  instanceMethod(alert, "addButtonWithTitle:", &addButtonWithTitle);
  instanceMethod(alert, "runModal", &runModal);

  // Present for the sign-in and update actions, which add the messages they send.
  defineClass("NSURL", object);
  defineClass("NSWorkspace", object);
}

}  // namespace objc::headless::detail

namespace objc::headless {

using detail::menuItem;

std::optional<std::string> statusItemTitle() {
  const auto* item = detail::newestStatusItem();
  if (item == nullptr) return std::nullopt;
  return static_cast<const detail::ButtonObject*>(item->button)->title;
}

size_t statusItemCount() { return detail::status_bar ? detail::status_bar->items.size() : 0; }

std::vector<MenuEntry> menuEntries(Id menu) {
  std::vector<MenuEntry> entries;
  if (menu == nullptr) return entries;
  for (Id item : static_cast<detail::MenuObject*>(menu)->items) {
    const auto* entry = menuItem(item);
    entries.push_back({item, entry->title, entry->key_equivalent,
                       entry->action ? entry->action->name : std::string(), entry->target,
                       entry->enabled, entry->separator});
  }
  return entries;
}

std::vector<MenuEntry> menuEntries() {
  const auto* item = detail::newestStatusItem();
  return item ? menuEntries(item->menu) : std::vector<MenuEntry>{};
}

bool click(Id item) {
  const auto* entry = menuItem(item);
  if (entry->separator || !entry->enabled || entry->action == nullptr) return false;
  Id receiver = entry->target;
  if (receiver == nullptr) {
    // Without a target the action travels up to the application.
    Id application =
        send<Id>(detail::classNamed("NSApplication"), sel_registerName("sharedApplication"));
    if (!detail::responds(application, entry->action)) return false;
    receiver = application;
  }
  send<void>(receiver, entry->action, item);
  return true;
}

bool clickTitle(std::string_view title) {
  for (const auto& entry : menuEntries()) {
    if (entry.title == title && !entry.separator) return click(entry.item);
  }
  return false;
}

std::vector<Notification> notifications() {
  std::lock_guard guard(detail::shown().lock);
  return detail::shown().notifications;
}

void clearNotifications() {
  std::lock_guard guard(detail::shown().lock);
  detail::shown().notifications.clear();
}

std::vector<Alert> alerts() {
  std::lock_guard guard(detail::shown().lock);
  return detail::shown().alerts;
}

void clearAlerts() {
  std::lock_guard guard(detail::shown().lock);
  detail::shown().alerts.clear();
}

long activationPolicy() {
  Id application =
      send<Id>(detail::classNamed("NSApplication"), sel_registerName("sharedApplication"));
  return static_cast<detail::ApplicationObject*>(application)->activation_policy;
}

}  // namespace objc::headless
