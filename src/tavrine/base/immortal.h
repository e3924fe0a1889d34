#pragma once

#include <new>

// The one instance of T for the whole process, made on first use and never
// destroyed. The agent ends while detached threads (the check thread, the
// console reader, a sign-in in progress) may still use its process-wide
// objects; a static destructor running under them would be a use after free,
// so these objects outlive every exit handler instead. The memory is given
// back by the end of the process.
template <class T>
[[nodiscard]] T& immortal() {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T* const instance = ::new (static_cast<void*>(storage)) T();
  return *instance;
}
