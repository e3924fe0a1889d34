// Test-only program: the menu bar interface and the application loop as the
// agent runs them, without registration or check cycles, so that the headless
// console can be driven through standard input. With the argument "alert" it
// also shows an update alert from inside the loop and prints its result.
#include "tavrine/base/console.h"
#include "tavrine/base/logger.h"
#include "tavrine/objc/runtime.h"
#include "tavrine/tray/macos.h"

#include <string_view>

extern char** environ;

namespace {

using objc::Id;
using objc::sel_registerName;
using objc::send;

CocoaHandles cocoa;  // process-wide, as in the agent

Id string(const char* text) { return tray::macos::createNSString(cocoa, text); }

void showAlert(Id, objc::Sel, Id) {
  const Id alert =
      send<Id>(send<Id>(cocoa.alert_class, sel_registerName("alloc")), sel_registerName("init"));
  send<void>(alert, sel_registerName("setMessageText:"), string("Update Available"));
  send<void>(alert, sel_registerName("setInformativeText:"),
             string("Version 9.9.9 is available.\nYou are running version 0.2.0."));
  send<void>(alert, sel_registerName("setAlertStyle:"), 1UL);
  send<Id>(alert, sel_registerName("addButtonWithTitle:"), string("Update Now"));
  send<Id>(alert, sel_registerName("addButtonWithTitle:"), string("Later"));
  const long response = send<long>(alert, sel_registerName("runModal"));
  console::line("modal result: {}\n", response);
  send<void>(alert, sel_registerName("release"));
}

void queueAlert() {
  const objc::Class cls = objc::objc_allocateClassPair(cocoa.object_class, "ConsoleDriverAlert", 0);
  objc::class_addMethod(cls, sel_registerName("showAlert:"), objc::asImp(&showAlert), "v@:@");
  objc::objc_registerClassPair(cls);
  const Id shower = send<Id>(send<Id>(cls, sel_registerName("alloc")), sel_registerName("init"));
  send<void>(shower, sel_registerName("performSelectorOnMainThread:withObject:waitUntilDone:"),
             sel_registerName("showAlert:"), Id{}, false);
  send<void>(shower, sel_registerName("release"));
}

}  // namespace

int main(int argc, char** argv) {
  logger::open(environ);
  if (auto built = tray::macos::setupMenu(cocoa); !built) {
    console::error("menu set-up failed");
    return 1;
  }
  tray::macos::showNotification(cocoa, "Device Trust Agent is running");
  if (argc > 1 && std::string_view(argv[1]) == "alert") queueAlert();
  objc::handleTerminationSignals();
  logger::print("Agent running. Click the menu bar icon to quit.\n");
  const Id app = send<Id>(cocoa.app_class, sel_registerName("sharedApplication"));
  send<void>(app, sel_registerName("run"));
  return 2;  // terminate: ends the process from inside the loop
}
