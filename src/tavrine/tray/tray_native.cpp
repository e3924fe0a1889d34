#include "tavrine/tray/tray_native.h"

#include "tavrine/objc/runtime.h"
#include "tavrine/tray/macos.h"

namespace tray_native {

void setStatus(const CocoaHandles& cocoa, TrayState& tray, std::string_view text) {
  // The lock spans recording and hand-over, so the menu shows the changes of
  // all threads in the order status_text took them.
  std::lock_guard guard(tray.status_lock);
  tray.status_text.assign(text);
  const objc::Id item = cocoa.status_menu_item;
  if (item == nullptr) return;
  objc::AutoreleasePool pool;  // the string is released here once handed over
  const objc::Id title = tray::macos::createNSString(cocoa, text);
  if (title == nullptr) return;  // AppKit refuses a nil title
  // AppKit is touched only on the main thread. The main thread queues its own
  // changes as well: setting the title at once would let an earlier change,
  // still queued, overwrite a later one.
  objc::send<void>(item,
                   objc::sel_registerName("performSelectorOnMainThread:withObject:waitUntilDone:"),
                   objc::sel_registerName("setTitle:"), title, false);
}

}  // namespace tray_native
