// The headless stand-in's runtime: selectors, classes with metaclasses and
// method tables, reference counting and autorelease pools, and the look-up
// behind objc::send.
#include "tavrine/objc/runtime.h"

#include "tavrine/base/immortal.h"
#include "tavrine/objc/headless/inspect.h"
#include "tavrine/objc/headless/object_model.h"
#include "tavrine/objc/headless/run_loop.h"

#include <fmt/format.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <tuple>
#include <unordered_set>
#include <vector>

namespace objc::headless::detail {
namespace {

// The whole stand-in world. Never destroyed: threads that outlive main()
// (the detached check thread, the console reader) may still send messages
// while the process exits.
struct World {
  std::mutex lock;
  std::unordered_map<std::string, std::unique_ptr<Selector>> selectors;
  std::unordered_map<std::string, ClassRecord*> classes;
  std::unordered_set<const Object*> class_objects;
  std::unordered_set<const Object*> live;
  std::unordered_set<std::string> hidden;
  // Autoreleased with no pool: kept, as AppKit keeps them, until the end.
  std::vector<Id> unpooled;
};

World& world() { return immortal<World>(); }

// Releases what each level of the calling thread's pools collected.
struct PoolStack {
  std::vector<std::vector<Id>> levels;
  ~PoolStack() {
    while (!levels.empty()) popLevel();
  }
  void popLevel() {
    std::vector<Id> objects = std::move(levels.back());
    levels.pop_back();
    for (Id object : objects) release(object);
  }
};

PoolStack& poolStack() {
  thread_local PoolStack stack;
  return stack;
}

// The types sent must be the method's own; a void send may ignore a result.
bool typesMatch(std::string_view method_types, std::string_view sent) {
  std::string method;
  for (char c : method_types) {
    if (c < '0' || c > '9') method.push_back(c);
  }
  if (!sent.empty() && sent.front() == 'v' && !method.empty()) {
    return std::string_view(method).substr(1) == sent.substr(1);
  }
  return method == sent;
}

// NSObject, the root class.
Id alloc(Id self, Sel) { return allocate(static_cast<ClassRecord*>(self)); }
Id init(Id self, Sel) { return self; }
Id retainMethod(Id self, Sel) { return retain(self); }
void releaseMethod(Id self, Sel) { release(self); }
Id autoreleaseMethod(Id self, Sel) { return autorelease(self); }

ClassRecord* defineRoot() {
  ClassRecord* object_class =
      defineClass("NSObject", nullptr, [](ClassRecord* cls) { return new Object(cls); });
  classMethod(object_class, "alloc", &alloc);
  instanceMethod(object_class, "init", &init);
  instanceMethod(object_class, "retain", &retainMethod);
  instanceMethod(object_class, "release", &releaseMethod);
  instanceMethod(object_class, "autorelease", &autoreleaseMethod);
  instanceMethod(object_class, "performSelectorOnMainThread:withObject:waitUntilDone:",
                 &performSelectorOnMainThread);
  return object_class;
}

void ensureClasses() {
  static std::once_flag once;
  std::call_once(once, [] { defineAppKit(defineRoot()); });
}

// A class pair, not yet registered. The caller holds the world lock.
ClassRecord* makeClassPair(World& w, ClassRecord* superclass, const std::string& name) {
  auto* meta = new ClassRecord(nullptr, name, nullptr, true);
  // Class methods fall back to the metaclass chain and, at the root, to the
  // root class's instance methods, as in the real runtime.
  meta->superclass = superclass ? static_cast<ClassRecord*>(superclass->isa) : nullptr;
  auto* cls = new ClassRecord(meta, name, superclass, false);
  if (superclass == nullptr) meta->superclass = cls;
  w.classes.emplace(name, cls);
  w.class_objects.insert(cls);
  w.class_objects.insert(meta);
  return cls;
}

}  // namespace

void fatal(std::string_view message) noexcept {
  std::fprintf(stderr, "objc stand-in: %.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::abort();
}

ClassRecord* defineClass(const char* name, ClassRecord* superclass, ClassRecord::Factory factory) {
  World& w = world();
  std::lock_guard guard(w.lock);
  if (w.classes.contains(name)) fatal(fmt::format("class {} defined twice", name));
  ClassRecord* cls = makeClassPair(w, superclass, name);
  cls->factory = std::move(factory);
  cls->registered = true;
  cls->stand_in = true;
  return cls;
}

void addMethod(ClassRecord* cls, const char* selector, Imp imp, std::string types) {
  const Sel sel = objc::sel_registerName(selector);
  std::lock_guard guard(world().lock);
  cls->methods[sel] = Method{imp, std::move(types)};
}

ClassRecord* classNamed(std::string_view name) {
  ensureClasses();
  World& w = world();
  std::lock_guard guard(w.lock);
  const auto found = w.classes.find(std::string(name));
  if (found == w.classes.end()) fatal(fmt::format("no stand-in class {}", name));
  return found->second;
}

std::string describe(Id receiver, Sel selector) {
  const ClassRecord* cls = receiver->isa;
  const bool is_class = cls != nullptr && cls->is_meta;
  return fmt::format("{}[{} {}]", is_class ? '+' : '-', cls ? cls->name : "?",
                     selector ? selector->name : "(null)");
}

Id allocate(ClassRecord* cls) {
  const ClassRecord* maker = cls;
  while (maker != nullptr && !maker->factory) maker = maker->superclass;
  if (maker == nullptr) fatal(fmt::format("+[{} alloc]: no instance layout", cls->name));
  Object* object = maker->factory(cls);
  World& w = world();
  std::lock_guard guard(w.lock);
  w.live.insert(object);
  return object;
}

Id retain(Id object) noexcept {
  if (object == nullptr || dynamic_cast<ClassRecord*>(object) != nullptr) return object;
  object->retain_count.fetch_add(1, std::memory_order_relaxed);
  return object;
}

void release(Id object) noexcept {
  if (object == nullptr || dynamic_cast<ClassRecord*>(object) != nullptr) return;
  const long before = object->retain_count.fetch_sub(1, std::memory_order_acq_rel);
  if (before <= 0) fatal(fmt::format("{} object released too often", object->isa->name));
  if (before > 1) return;
  {
    World& w = world();
    std::lock_guard guard(w.lock);
    w.live.erase(object);
  }
  delete object;  // its destructor releases what it holds
}

Id autorelease(Id object) noexcept {
  if (object == nullptr) return object;
  PoolStack& stack = poolStack();
  if (stack.levels.empty()) {
    World& w = world();
    std::lock_guard guard(w.lock);
    w.unpooled.push_back(object);
  } else {
    stack.levels.back().push_back(object);
  }
  return object;
}

bool responds(Id receiver, Sel selector) {
  std::lock_guard guard(world().lock);
  for (const ClassRecord* cls = receiver->isa; cls != nullptr; cls = cls->superclass) {
    if (cls->methods.contains(selector)) return true;
  }
  return false;
}

void requireMainThread(Id receiver, Sel selector) {
  if (!objc::isMainThread()) fatal(describe(receiver, selector) + ": sent off the main thread");
}

}  // namespace objc::headless::detail

namespace objc {

using headless::detail::ensureClasses;
using headless::detail::fatal;
using headless::detail::world;

Class objc_getClass(const char* name) noexcept {
  ensureClasses();
  auto& w = world();
  std::lock_guard guard(w.lock);
  const auto found = w.classes.find(name);
  if (found == w.classes.end() || !found->second->registered || w.hidden.contains(name)) {
    return nullptr;
  }
  return found->second;
}

Sel sel_registerName(const char* name) noexcept {
  auto& w = world();
  std::lock_guard guard(w.lock);
  auto& slot = w.selectors[name];
  if (!slot) slot = std::make_unique<Selector>(Selector{name});
  return slot.get();
}

Class objc_allocateClassPair(Class superclass, const char* name, size_t extra_bytes) noexcept {
  ensureClasses();
  if (extra_bytes != 0) fatal(fmt::format("class {}: instance variables are not supported", name));
  auto& w = world();
  std::lock_guard guard(w.lock);
  if (w.classes.contains(name)) return nullptr;
  return headless::detail::makeClassPair(w, superclass, name);
}

bool class_addMethod(Class cls, Sel name, Imp imp, const char* types) noexcept {
  std::lock_guard guard(world().lock);
  return cls->methods.emplace(name, Method{imp, types}).second;
}

void objc_registerClassPair(Class cls) noexcept {
  std::lock_guard guard(world().lock);
  cls->registered = true;
}

void* objc_autoreleasePoolPush() noexcept {
  auto& stack = headless::detail::poolStack();
  stack.levels.emplace_back();
  return reinterpret_cast<void*>(stack.levels.size());
}

void objc_autoreleasePoolPop(void* token) noexcept {
  auto& stack = headless::detail::poolStack();
  const auto depth = reinterpret_cast<size_t>(token);
  if (depth == 0 || depth > stack.levels.size()) fatal("autorelease pool popped out of order");
  while (stack.levels.size() >= depth) stack.popLevel();
}

bool isMainThread() noexcept { return ::syscall(SYS_gettid) == ::getpid(); }

namespace detail {

Imp dispatch(Id receiver, Sel selector, const char* types) noexcept {
  Method method;
  {
    auto& w = world();
    std::lock_guard guard(w.lock);
    if (!w.live.contains(receiver) && !w.class_objects.contains(receiver)) {
      fatal(fmt::format("{} sent to a deallocated object", selector->name));
    }
    for (const ClassRecord* cls = receiver->isa; cls != nullptr; cls = cls->superclass) {
      const auto found = cls->methods.find(selector);
      if (found != cls->methods.end()) {
        method = found->second;
        break;
      }
    }
  }
  const std::string what =
      method.imp ? std::string() : headless::detail::describe(receiver, selector);
  if (method.imp == nullptr) fatal(what + ": not a message this class answers");
  if (!headless::detail::typesMatch(method.types, types)) {
    fatal(fmt::format("{}: sent as \"{}\", but the method is \"{}\"",
                      headless::detail::describe(receiver, selector), types, method.types));
  }
  return method.imp;
}

}  // namespace detail
}  // namespace objc

namespace objc::headless {

size_t liveObjectCount() {
  auto& w = detail::world();
  std::lock_guard guard(w.lock);
  return w.live.size();
}

size_t objectsAutoreleasedWithoutPool() {
  auto& w = detail::world();
  std::lock_guard guard(w.lock);
  return w.unpooled.size();
}

std::vector<ImplementedMethod> implementedMethods() {
  detail::ensureClasses();
  auto& w = detail::world();
  std::vector<ImplementedMethod> listed;
  {
    std::lock_guard guard(w.lock);
    for (const auto& [name, cls] : w.classes) {
      if (!cls->stand_in) continue;
      const ClassRecord* const tables[] = {cls->isa, cls};  // class methods, then instance
      for (const ClassRecord* table : tables) {
        for (const auto& [selector, method] : table->methods) {
          listed.push_back({name, table->is_meta, selector->name, method.types});
        }
      }
    }
  }
  std::sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) {
    return std::tie(a.class_name, b.class_method, a.selector) <
           std::tie(b.class_name, a.class_method, b.selector);
  });
  return listed;
}

HiddenClass::HiddenClass(std::string name) : name_(std::move(name)) {
  auto& w = detail::world();
  std::lock_guard guard(w.lock);
  w.hidden.insert(name_);
}

HiddenClass::~HiddenClass() {
  auto& w = detail::world();
  std::lock_guard guard(w.lock);
  w.hidden.erase(name_);
}

}  // namespace objc::headless
