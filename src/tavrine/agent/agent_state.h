#pragma once

#include "tavrine/agent/device_key.h"
#include "tavrine/base/config.h"
#include "tavrine/tray/handles.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

// The running agent's process-wide state. Each field has one writer at a
// time (see the comments); operations take the state by reference so that
// tests can run with a fresh one.
struct AgentState {
  // Written once at agent start, before anything else reads it.
  Config config{};
  // Held once registration succeeded; an empty token still counts as held.
  // Written before the check thread starts, released at shutdown.
  std::optional<std::string> device_token;
  // The key each report is also signed with; absent when none could be made.
  // Written before the check thread starts.
  std::optional<device_key::DeviceKey> device_key;
  // Written only by the check thread.
  uint64_t check_count = 0;
  uint32_t consecutive_failures = 0;
  // A report that cannot carry the device signature is logged once per run.
  bool device_signature_failure_logged = false;
  // Set once the menu is complete, cleared at shutdown before the TrayState
  // is released.
  std::atomic<TrayState*> tray{nullptr};

  // The menu bar's classes and objects, set by the menu set-up on the main
  // thread.
  CocoaHandles cocoa;
};
