#include "tavrine/platform/thread.h"

#include <pthread.h>

#include <cerrno>
#include <memory>
#include <new>

namespace platform {
namespace {

constexpr size_t kStackSize = 16 * 1024 * 1024;
constexpr size_t kGuardSize = 16 * 1024;

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

Result<void> startDetachedThread(std::function<void()> body) {
  ThreadAttributes attributes;
  if (!attributes.valid()) return fail(Error::SystemResources);
  if (pthread_attr_setstacksize(attributes.get(), kStackSize) != 0 ||
      pthread_attr_setguardsize(attributes.get(), kGuardSize) != 0 ||
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

}  // namespace platform
