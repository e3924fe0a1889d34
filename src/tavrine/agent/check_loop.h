#pragma once

#include "tavrine/agent/agent_state.h"
#include "tavrine/base/error.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace agent {

// Paces the check thread and lets the rest of the agent stop it safely: a
// pause that ends early when asked, and a lock held around every cycle so
// that shutdown can wait for a cycle under way before it releases what the
// cycle uses.
class CheckPacer {
 public:
  // Sleeps for `pause` or until wake() is called, whichever comes first.
  void pause(std::chrono::nanoseconds pause);
  // Ends the current pause and every later one at once.
  void wake();
  // Held by the check thread while it tests whether to go on and while it
  // runs a cycle.
  [[nodiscard]] std::mutex& cycleLock() noexcept { return cycle_lock_; }

 private:
  std::mutex wake_lock_;
  std::condition_variable woken_;
  bool wake_requested_ = false;
  std::mutex cycle_lock_;
};

// The pacer of this process's check thread.
[[nodiscard]] CheckPacer& processPacer() noexcept;

// The check thread's body: one cycle at once (whatever the tray says), then one after every pause of
// the configured interval while the tray exists and is running.
void runCheckLoop(AgentState& state, CheckPacer& pacer, const std::function<void()>& cycle);

// Clears `running` and wakes a pausing check thread, so that no new cycle
// starts. A cycle under way runs to its end.
void stopChecks(TrayState& tray, CheckPacer& pacer);

// Stops the checks and detaches the tray from the state once no cycle is
// running any more; afterwards the caller may release the tray and the
// device token.
void detachTray(AgentState& state, CheckPacer& pacer);

}  // namespace agent
