#pragma once

// Opaque handles of the Objective-C world, usable from platform-neutral
// headers. On Apple platforms they are the runtime's own pointers; elsewhere
// they point into the headless stand-in.
namespace objc {

struct Object;
struct ClassRecord;
struct Selector;

using Id = Object*;           // an object (or nil)
using Class = ClassRecord*;   // a class (or Nil)
using Sel = const Selector*;  // a registered selector

// A method implementation, stored type-erased; it is always called through a
// pointer of its exact type (receiver, selector, arguments).
using Imp = void (*)();

}  // namespace objc
