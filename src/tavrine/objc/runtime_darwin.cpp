// The bridge onto the real Objective-C runtime and AppKit.
#include "tavrine/objc/runtime.h"

#include "tavrine/platform/stop_request.h"

#include <dispatch/dispatch.h>
#include <objc/message.h>
#include <objc/runtime.h>
#include <pthread.h>

#include <csignal>
#include <memory>
#include <mutex>

// The autorelease pool entry points are the runtime's stable ABI (the
// compiler emits calls to them for @autoreleasepool) but have no public
// header.
extern "C" {
void* objc_autoreleasePoolPush(void);
void objc_autoreleasePoolPop(void* token);
}

// The bridge's handles are opaque pointers to the runtime's own structures;
// these casts are the only place where the two sets of types meet.
namespace objc {
namespace {

::Class toRuntime(Class cls) noexcept { return reinterpret_cast<::Class>(cls); }
Class fromRuntime(::Class cls) noexcept { return reinterpret_cast<Class>(cls); }

}  // namespace

Class objc_getClass(const char* name) noexcept {
  return reinterpret_cast<Class>(::objc_getClass(name));
}

Sel sel_registerName(const char* name) noexcept {
  return reinterpret_cast<Sel>(::sel_registerName(name));
}

Class objc_allocateClassPair(Class superclass, const char* name, size_t extra_bytes) noexcept {
  return fromRuntime(::objc_allocateClassPair(toRuntime(superclass), name, extra_bytes));
}

bool class_addMethod(Class cls, Sel name, Imp imp, const char* types) noexcept {
  return ::class_addMethod(toRuntime(cls), reinterpret_cast<SEL>(const_cast<Selector*>(name)),
                           reinterpret_cast<IMP>(imp), types);
}

void objc_registerClassPair(Class cls) noexcept { ::objc_registerClassPair(toRuntime(cls)); }

void* objc_autoreleasePoolPush() noexcept { return ::objc_autoreleasePoolPush(); }

void objc_autoreleasePoolPop(void* token) noexcept { ::objc_autoreleasePoolPop(token); }

bool isMainThread() noexcept { return pthread_main_np() != 0; }

namespace {
void runQueuedWork(void* context) {
  const std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(context));
  (*work)();
}
}  // namespace

// The main queue is served by the application loop, in order with the
// messages performSelectorOnMainThread: queues.
void runOnMainThread(std::function<void()> work) {
  auto owned = std::make_unique<std::function<void()>>(std::move(work));
  dispatch_async_f(dispatch_get_main_queue(), owned.release(), runQueuedWork);
}

namespace {

// Runs on the main queue, which the application loop drains.
void terminateApplication(void*) {
  const Id app =
      send<Id>(objc::objc_getClass("NSApplication"), objc::sel_registerName("sharedApplication"));
  send<void>(app, objc::sel_registerName("terminate:"), Id{});
}

// Runs on a queue of its own, so that a signal is seen while the main thread
// is still busy starting up (collecting, registering) and drains nothing: the
// stop request reaches the work under way at once, and terminate: follows
// once the application loop runs.
void onTerminationSignal(void*) {
  platform::requestStop();
  dispatch_async_f(dispatch_get_main_queue(), nullptr, terminateApplication);
}

}  // namespace

void handleTerminationSignals() noexcept {
  static std::once_flag once;
  std::call_once(once, [] {
    dispatch_queue_t queue = dispatch_queue_create("tavrine.termination-signals", nullptr);
    for (const int signal_number : {SIGINT, SIGTERM}) {
      // The dispatch source sees the signal only once its default action is
      // off. Children get the default back when they are started.
      std::signal(signal_number, SIG_IGN);
      dispatch_source_t source = dispatch_source_create(
          DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(signal_number), 0, queue);
      dispatch_source_set_event_handler_f(source, onTerminationSignal);
      dispatch_resume(source);  // kept, with its queue, for the life of the process
    }
  });
}

namespace detail {

// objc_msgSend finds and jumps to the method; send() casts it to the method's
// exact type before calling.
Imp dispatch(Id, Sel, const char*) noexcept { return reinterpret_cast<Imp>(&::objc_msgSend); }

}  // namespace detail
}  // namespace objc
