#pragma once

// The headless stand-in's object model: what a class, an object and a
// selector are, and the helpers its AppKit classes are written with. Internal
// to src/objc/headless.

#include "tavrine/objc/runtime.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace objc {

struct Selector {
  std::string name;
};

// Every object, class objects included. Instances of the stand-in classes are
// C++ subclasses carrying their state.
struct Object {
  explicit Object(ClassRecord* cls) noexcept : isa(cls) {}
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object() = default;

  ClassRecord* isa;
  std::atomic<long> retain_count{1};
};

struct Method {
  Imp imp = nullptr;
  std::string types;
};

// A class or a metaclass. Class records live until the process ends.
struct ClassRecord final : Object {
  using Factory = std::function<Object*(ClassRecord*)>;

  ClassRecord(ClassRecord* meta, std::string class_name, ClassRecord* super, bool meta_class)
      : Object(meta), name(std::move(class_name)), superclass(super), is_meta(meta_class) {}

  std::string name;
  ClassRecord* superclass;
  bool is_meta;
  bool registered = false;
  bool stand_in = false;  // one of the stand-in's own classes, not made at run time
  // Makes the C++ object for alloc; subclasses without one inherit it.
  Factory factory;
  std::unordered_map<Sel, Method> methods;
};

}  // namespace objc

namespace objc::headless::detail {

// Ends the process with a message naming what went wrong: the stand-in's way
// of failing loudly when the code asks for something AppKit would not do.
[[noreturn]] void fatal(std::string_view message) noexcept;

// Defines and registers a stand-in class with its metaclass.
ClassRecord* defineClass(const char* name, ClassRecord* superclass,
                         ClassRecord::Factory factory = nullptr);

void addMethod(ClassRecord* cls, const char* selector, Imp imp, std::string types);

// Adds a method whose type encoding comes from the function's own signature,
// so the stand-in can never register a method with a wrong encoding.
template <class R, class... Args>
void instanceMethod(ClassRecord* cls, const char* selector, R (*function)(Id, Sel, Args...)) {
  addMethod(cls, selector, asImp(function), objc::detail::kEncoding<R, Args...>);
}
template <class R, class... Args>
void classMethod(ClassRecord* cls, const char* selector, R (*function)(Id, Sel, Args...)) {
  addMethod(static_cast<ClassRecord*>(cls->isa), selector, asImp(function),
            objc::detail::kEncoding<R, Args...>);
}

// The named stand-in class (registered or hidden).
[[nodiscard]] ClassRecord* classNamed(std::string_view name);

// "-[NSMenuItem setTitle:]" or "+[NSString stringWithUTF8String:]".
[[nodiscard]] std::string describe(Id receiver, Sel selector);

// A new instance of `cls` made by its factory, retain count 1.
[[nodiscard]] Id allocate(ClassRecord* cls);

Id retain(Id object) noexcept;
void release(Id object) noexcept;
Id autorelease(Id object) noexcept;

// The receiver as the C++ type of its stand-in class, or a loud failure.
template <class T>
T& as(Id receiver, Sel selector) {
  auto* typed = dynamic_cast<T*>(receiver);
  if (typed == nullptr) fatal(describe(receiver, selector) + ": receiver of the wrong class");
  return *typed;
}

// User-interface messages are for the main thread only, as in AppKit.
void requireMainThread(Id receiver, Sel selector);

// An NSString's bytes; a loud failure for nil or for anything else.
[[nodiscard]] const std::string& stringValue(Id string, Id receiver, Sel selector);

// Defines the AppKit classes (called once, with the runtime's own).
void defineAppKit(ClassRecord* object_class);

}  // namespace objc::headless::detail
