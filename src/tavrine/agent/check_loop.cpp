#include "tavrine/agent/check_loop.h"

#include "tavrine/immortal.h"

#include <pthread.h>

#include <cerrno>
#include <memory>
#include <new>

namespace agent {
namespace {

constexpr size_t kCheckThreadStackSize = 16 * 1024 * 1024;
constexpr size_t kCheckThreadGuardSize = 16 * 1024;

// Whether the check thread should go on; the caller holds the cycle lock.
bool trayRunning(const AgentState& state) {
  const TrayState* tray = state.tray.load();
  return tray != nullptr && tray->running.load();
}

extern "C" void* threadEntry(void* argument) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return nullptr;
}

// Owns a pthread attribute object for the life of one thread creation.
class ThreadAttributes {
 public:
  ThreadAttributes() : valid_(pthread_attr_init(&attributes_) == 0) {}
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;
  ~ThreadAttributes() {
    if (valid_) pthread_attr_destroy(&attributes_);
  }
  [[nodiscard]] bool valid() const noexcept { return valid_; }
  pthread_attr_t* get() noexcept { return &attributes_; }

 private:
  pthread_attr_t attributes_{};
  bool valid_;
};

Error threadError(int code) {
  return code == EAGAIN || code == ENOMEM ? Error::SystemResources : Error::Unexpected;
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

Result<void> startDetachedThread(std::function<void()> body) {
  ThreadAttributes attributes;
  if (!attributes.valid()) return fail(Error::SystemResources);
  if (pthread_attr_setstacksize(attributes.get(), kCheckThreadStackSize) != 0 ||
      pthread_attr_setguardsize(attributes.get(), kCheckThreadGuardSize) != 0 ||
      pthread_attr_setdetachstate(attributes.get(), PTHREAD_CREATE_DETACHED) != 0) {
    return fail(Error::Unexpected);
  }
  std::unique_ptr<std::function<void()>> owned;
  try {
    owned = std::make_unique<std::function<void()>>(std::move(body));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  pthread_t thread;
  const int created = pthread_create(&thread, attributes.get(), threadEntry, owned.get());
  if (created != 0) return fail(threadError(created));
  (void)owned.release();  // the thread owns it now
  return {};
}

}  // namespace agent
