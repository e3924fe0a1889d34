#pragma once

#include "tavrine/config.h"
#include "tavrine/objc/types.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

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

// The running agent's process-wide state. Each field has one writer at a
// time (see the comments); operations take the state by reference so that
// tests can run with a fresh one.
struct AgentState {
  // Written once at agent start, before anything else reads it.
  Config config{};
  // Held once registration succeeded; an empty token still counts as held.
  // Written before the check thread starts, released at shutdown.
  std::optional<std::string> device_token;
  // Written only by the check thread.
  uint64_t check_count = 0;
  uint32_t consecutive_failures = 0;
  // Set once the menu is complete, cleared at shutdown before the TrayState
  // is released.
  std::atomic<TrayState*> tray{nullptr};

  // Cocoa handles, set by the menu set-up on the main thread.
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
  objc::Id status_item = nullptr;
  objc::Id menu = nullptr;
  objc::Id status_menu_item = nullptr;
  objc::Id login_menu_item = nullptr;
  objc::Id update_menu_item = nullptr;
};
