#pragma once

// Apple-only: included by the *_darwin.cpp files that call Core Foundation.

#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <type_traits>

namespace cf {

struct Release {
  void operator()(const void* object) const noexcept {
    if (object != nullptr) CFRelease(object);
  }
};

// Owns one Core Foundation reference that a Create or Copy call handed over,
// and releases it once. An out-parameter (a CFErrorRef, a SecStaticCodeRef)
// is owned by wrapping it right after the call.
template <class Ref>
using Owned = std::unique_ptr<std::remove_pointer_t<Ref>, Release>;

}  // namespace cf
