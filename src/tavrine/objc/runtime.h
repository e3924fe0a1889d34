#pragma once

#include "tavrine/objc/types.h"

#include <cstddef>
#include <functional>
#include <type_traits>

// The Objective-C runtime as the tray code uses it: class look-up, selectors,
// run-time classes, autorelease pools and one typed message send. The same
// calls reach the real runtime on Apple platforms and the headless stand-in
// everywhere else.
namespace objc {

// The class registered under `name`, or nullptr.
[[nodiscard]] Class objc_getClass(const char* name) noexcept;

// The unique selector for `name`.
[[nodiscard]] Sel sel_registerName(const char* name) noexcept;

// A new class (and its metaclass) named `name`, not yet usable; nullptr when a
// class of that name already exists.
[[nodiscard]] Class objc_allocateClassPair(Class superclass, const char* name,
                                           size_t extra_bytes) noexcept;

// Adds an instance method to a class made by objc_allocateClassPair; false
// when the class already has a method for `name`.
bool class_addMethod(Class cls, Sel name, Imp imp, const char* types) noexcept;

// Makes an allocated class visible to objc_getClass and ready for use.
void objc_registerClassPair(Class cls) noexcept;

// Autorelease pools of the calling thread: objects autoreleased after a push
// are released by the matching pop.
[[nodiscard]] void* objc_autoreleasePoolPush() noexcept;
void objc_autoreleasePoolPop(void* token) noexcept;

// One autorelease pool for the life of the object.
class AutoreleasePool {
 public:
  AutoreleasePool() noexcept : token_(objc_autoreleasePoolPush()) {}
  AutoreleasePool(const AutoreleasePool&) = delete;
  AutoreleasePool& operator=(const AutoreleasePool&) = delete;
  ~AutoreleasePool() { objc_autoreleasePoolPop(token_); }

 private:
  void* token_;
};

// Whether the caller runs on the process's main thread, the only thread that
// may touch the user interface.
[[nodiscard]] bool isMainThread() noexcept;

// Queues `work` for the main thread, behind everything queued there before
// (performSelectorOnMainThread: included), and returns at once. For work off
// the main thread that must touch the user interface. Any thread.
void runOnMainThread(std::function<void()> work);

// Routes SIGINT and SIGTERM to the application: either signal requests a stop
// of the whole process at once (platform::requestStop), and once the
// application loop runs it sends terminate: to the application from the main
// thread. Nothing unsafe happens inside the signal handler. Safe to call more
// than once.
void handleTerminationSignals() noexcept;

// A class used as a message receiver.
[[nodiscard]] inline Id asId(Class cls) noexcept { return reinterpret_cast<Id>(cls); }

// A typed function used as a method implementation.
template <class Fn>
[[nodiscard]] Imp asImp(Fn* function) noexcept {
  return reinterpret_cast<Imp>(function);
}

namespace detail {

template <class T>
inline constexpr bool kUnsupportedType = false;

// The runtime's type code of a C++ type that crosses a message send. Only the
// kinds the tray code passes are allowed; anything else (structures in
// particular) would need another dispatch entry on some platforms.
template <class T>
constexpr char typeCode() {
  if constexpr (std::is_void_v<T>)
    return 'v';
  else if constexpr (std::is_same_v<T, Id>)
    return '@';
  else if constexpr (std::is_same_v<T, Class>)
    return '#';
  else if constexpr (std::is_same_v<T, Sel>)
    return ':';
  else if constexpr (std::is_same_v<T, bool>)
    return 'B';
  else if constexpr (std::is_same_v<T, const char*>)
    return '*';
  else if constexpr (std::is_same_v<T, double>)
    return 'd';
  else if constexpr (std::is_same_v<T, int>)
    return 'i';
  else if constexpr (std::is_same_v<T, long>)
    return 'q';  // NSInteger
  else if constexpr (std::is_same_v<T, unsigned long>)
    return 'Q';  // NSUInteger
  else
    static_assert(kUnsupportedType<T>, "type cannot cross an Objective-C message send");
}

// nullptr passed for an object argument is nil.
template <class T>
using Argument = std::conditional_t<std::is_null_pointer_v<T>, Id, T>;

// The type encoding of a method returning R and taking Args ("v@:@" style).
template <class R, class... Args>
inline constexpr char kEncoding[] = {typeCode<R>(), '@', ':', typeCode<Args>()..., '\0'};

// The function to call for `selector` on `receiver` (never nil). On Apple
// platforms this is objc_msgSend itself; the stand-in looks the method up and
// fails loudly when the receiver does not answer `selector` with `types`.
[[nodiscard]] Imp dispatch(Id receiver, Sel selector, const char* types) noexcept;

}  // namespace detail

// Sends `selector` with `args` to `receiver` and returns its result as R. A
// message to nil returns zero (nothing for void). R and the argument types
// must be exactly the method's own: the call goes through a function pointer
// of that type.
template <class R, class... Args>
R send(Id receiver, Sel selector, Args... args) {
  if (receiver == nullptr) {
    if constexpr (std::is_void_v<R>)
      return;
    else
      return R{};
  }
  using Function = R (*)(Id, Sel, detail::Argument<Args>...);
  const auto function = reinterpret_cast<Function>(
      detail::dispatch(receiver, selector, detail::kEncoding<R, detail::Argument<Args>...>));
  return function(receiver, selector, args...);
}

// The same, with a class as the receiver.
template <class R, class... Args>
R send(Class receiver, Sel selector, Args... args) {
  return send<R>(asId(receiver), selector, args...);
}

}  // namespace objc
