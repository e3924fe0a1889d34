#include "tavrine/agent/check_loop.h"

#include "tavrine/base/immortal.h"

namespace agent {
namespace {

// Whether the check thread should go on; the caller holds the cycle lock.
bool trayRunning(const AgentState& state) {
  const TrayState* tray = state.tray.load();
  return tray != nullptr && tray->running.load();
}

}  // namespace

void CheckPacer::pause(std::chrono::nanoseconds pause) {
  std::unique_lock lock(wake_lock_);
  woken_.wait_for(lock, pause, [this] { return wake_requested_; });
}

void CheckPacer::wake() {
  {
    std::lock_guard lock(wake_lock_);
    wake_requested_ = true;
  }
  woken_.notify_all();
}

CheckPacer& processPacer() noexcept { return immortal<CheckPacer>(); }

void runCheckLoop(AgentState& state, CheckPacer& pacer, const std::function<void()>& cycle) {
  {
    std::lock_guard lock(pacer.cycleLock());
    cycle();
  }
  const std::chrono::nanoseconds pause = std::chrono::seconds(state.config.interval_seconds);
  for (;;) {
    {
      std::lock_guard lock(pacer.cycleLock());
      if (!trayRunning(state)) return;
    }
    pacer.pause(pause);
    std::lock_guard lock(pacer.cycleLock());
    if (!trayRunning(state)) return;
    cycle();
  }
}

void stopChecks(TrayState& tray, CheckPacer& pacer) {
  tray.running.store(false);
  pacer.wake();
}

void detachTray(AgentState& state, CheckPacer& pacer) {
  if (TrayState* tray = state.tray.load()) stopChecks(*tray, pacer);
  // Waits for a cycle under way; the thread tests the tray under this lock,
  // so it never sees the tray again.
  std::lock_guard lock(pacer.cycleLock());
  state.tray.store(nullptr);
}

}  // namespace agent
