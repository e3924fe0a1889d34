// The bridge onto the real Objective-C runtime and AppKit.
//
// The runtime's own headers are not included: this project's "objc/"
// directory is on the include path and would shadow <objc/runtime.h>. The few
// entry points used are declared here with their C ABI instead.
#include "objc/runtime.h"

#include <dispatch/dispatch.h>
#include <pthread.h>

#include <csignal>
#include <mutex>

extern "C" {
void* objc_getClass(const char* name);
void* sel_registerName(const char* name);
void* objc_allocateClassPair(void* superclass, const char* name, size_t extra_bytes);
unsigned char class_addMethod(void* cls, void* name, void (*imp)(), const char* types);
void objc_registerClassPair(void* cls);
void objc_msgSend(void);
void* objc_autoreleasePoolPush(void);
void objc_autoreleasePoolPop(void* token);
}

namespace objc {

Class objc_getClass(const char* name) noexcept { return static_cast<Class>(::objc_getClass(name)); }

Sel sel_registerName(const char* name) noexcept {
  return static_cast<Sel>(::sel_registerName(name));
}

Class objc_allocateClassPair(Class superclass, const char* name, size_t extra_bytes) noexcept {
  return static_cast<Class>(::objc_allocateClassPair(superclass, name, extra_bytes));
}

bool class_addMethod(Class cls, Sel name, Imp imp, const char* types) noexcept {
  return ::class_addMethod(cls, const_cast<Selector*>(name), imp, types) != 0;
}

void objc_registerClassPair(Class cls) noexcept { ::objc_registerClassPair(cls); }

void* objc_autoreleasePoolPush() noexcept { return ::objc_autoreleasePoolPush(); }

void objc_autoreleasePoolPop(void* token) noexcept { ::objc_autoreleasePoolPop(token); }

bool isMainThread() noexcept { return pthread_main_np() != 0; }

namespace {

// Runs on the main queue, which the application loop drains.
void terminateApplication(void*) {
  const Id app =
      send<Id>(objc::objc_getClass("NSApplication"), objc::sel_registerName("sharedApplication"));
  send<void>(app, objc::sel_registerName("terminate:"), Id{});
}

}  // namespace

void handleTerminationSignals() noexcept {
  static std::once_flag once;
  std::call_once(once, [] {
    for (const int signal_number : {SIGINT, SIGTERM}) {
      // The dispatch source sees the signal only once its default action is off.
      std::signal(signal_number, SIG_IGN);
      dispatch_source_t source =
          dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(signal_number),
                                 0, dispatch_get_main_queue());
      dispatch_source_set_event_handler_f(source, terminateApplication);
      dispatch_resume(source);  // kept for the life of the process
    }
  });
}

namespace detail {

// objc_msgSend finds and jumps to the method; send() casts it to the method's
// exact type before calling.
Imp dispatch(Id, Sel, const char*) noexcept { return reinterpret_cast<Imp>(&::objc_msgSend); }

}  // namespace detail
}  // namespace objc
