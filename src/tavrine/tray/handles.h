#pragma once

#include "tavrine/objc/types.h"

#include <atomic>
#include <mutex>
#include <string>

// The classes and objects of the menu bar interface, found and made by the
// menu set-up on the main thread. Read from any thread once set-up is done;
// written again only by removeStatusItem (status_item and menu).
struct CocoaHandles {
  objc::Class app_class = nullptr;
  objc::Class status_bar_class = nullptr;
  objc::Class menu_class = nullptr;
  objc::Class menu_item_class = nullptr;
  objc::Class string_class = nullptr;
  objc::Class object_class = nullptr;
  objc::Class alert_class = nullptr;
  objc::Class url_class = nullptr;
  objc::Class workspace_class = nullptr;
  objc::Class handler_class = nullptr;
  objc::Id menu_handler = nullptr;
  objc::Id status_item = nullptr;  // retained: the status bar keeps no reference
  objc::Id menu = nullptr;
  objc::Id status_menu_item = nullptr;
  objc::Id login_menu_item = nullptr;
  objc::Id update_menu_item = nullptr;
};

// The record the menu actions and the check thread share while the menu
// exists. Created just before the menu is built, released at shutdown.
struct TrayState {
  // The status line last set; guarded by status_lock because the check thread
  // and the sign-in thread both change it.
  std::string status_text = "Status: Starting...";
  std::mutex status_lock;
  // The check thread keeps cycling while this is true; the update installer
  // clears it before it ends the application.
  std::atomic<bool> running{true};
};
