// Holds the headless stand-in's model of AppKit against GNUstep, an
// independent implementation of the same classes on a real Objective-C
// runtime: every method the stand-in implements must have GNUstep's type
// encoding, up to what legitimately differs between the two. Methods that
// GNUstep lacks are listed as unchecked, with the reason.
//
//   check_appkit_signatures                         compares; exit 1 on a difference
//   check_appkit_signatures --plant-wrong-encoding  the same with one encoding
//                                                   made wrong, to show a difference fails
//
// GNUstep's libraries are linked in only so that their classes register
// with the runtime when the program loads; no message is sent to them, so no
// class initializes and no window or display is touched.
#include "tavrine/objc/headless/inspect.h"

// GCC's Objective-C runtime, with which GNUstep's classes are registered.
#include <objc/runtime.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Offsets and type qualifiers (const, in, out, ...) are dropped; BOOL is c
// on Intel Macs, B on Apple silicon and C in GNUstep; long and unsigned long
// (NSInteger, NSUInteger) are l/L or q/Q depending on the compiler.
std::string normalized(std::string_view types) {
  std::string result;
  for (const char c : types) {
    if ((c >= '0' && c <= '9') || std::strchr("rnNoORV", c) != nullptr) continue;
    switch (c) {
      case 'c':
      case 'C':
        result.push_back('B');
        break;
      case 'l':
        result.push_back('q');
        break;
      case 'L':
        result.push_back('Q');
        break;
      default:
        result.push_back(c);
    }
  }
  return result;
}

// The encoding of `selector` in `table` (a class, or a metaclass for class
// methods) or the nearest superclass that has it. Reads the method lists
// only: asking the runtime to look a method up could initialize the class.
std::optional<std::string> encodingIn(Class table, const std::string& selector) {
  for (Class cls = table; cls != Nil; cls = class_getSuperclass(cls)) {
    unsigned int count = 0;
    Method* methods = class_copyMethodList(cls, &count);
    std::optional<std::string> found;
    for (unsigned int i = 0; i < count && !found; ++i) {
      if (selector == sel_getName(method_getName(methods[i]))) {
        found = method_getTypeEncoding(methods[i]);
      }
    }
    std::free(methods);
    if (found) return found;
  }
  return std::nullopt;
}

struct Row {
  objc::headless::ImplementedMethod method;
  std::string name;  // "-[NSMenuItem setEnabled:]"
  std::optional<std::string> gnustep;
  std::string unchecked_reason;
};

}  // namespace

int main(int argc, char** argv) {
  const bool plant = argc > 1 && std::strcmp(argv[1], "--plant-wrong-encoding") == 0;
  if (argc > 2 || (argc == 2 && !plant)) {
    std::fprintf(stderr, "usage: %s [--plant-wrong-encoding]\n", argv[0]);
    return 2;
  }

  std::vector<Row> rows;
  for (auto& method : objc::headless::implementedMethods()) {
    Row row{method,
            (method.class_method ? "+[" : "-[") + method.class_name + " " + method.selector + "]",
            std::nullopt, ""};
    const Class cls = objc_lookUpClass(method.class_name.c_str());
    if (cls == Nil) {
      row.unchecked_reason = "GNUstep has no class " + method.class_name;
    } else {
      const Class table = method.class_method ? object_getClass(reinterpret_cast<id>(cls)) : cls;
      row.gnustep = encodingIn(table, method.selector);
      if (!row.gnustep) {
        row.unchecked_reason = "GNUstep's " + method.class_name + " has no " +
                               (method.class_method ? "class" : "instance") + " method " +
                               method.selector;
      }
    }
    rows.push_back(std::move(row));
  }

  if (plant) {
    for (Row& row : rows) {
      if (!row.gnustep) continue;
      std::string& types = row.method.types;
      types[0] = types[0] == 'v' ? '@' : 'v';
      std::printf("planted: %s now claims \"%s\"\n", row.name.c_str(), types.c_str());
      break;
    }
  }

  size_t matching = 0;
  size_t differing = 0;
  size_t unchecked = 0;
  for (const Row& row : rows) {
    if (!row.gnustep) {
      ++unchecked;
      std::printf("unchecked %s \"%s\": %s\n", row.name.c_str(), row.method.types.c_str(),
                  row.unchecked_reason.c_str());
    } else if (normalized(row.method.types) == normalized(*row.gnustep)) {
      ++matching;
      std::printf("ok        %s \"%s\" (GNUstep \"%s\")\n", row.name.c_str(),
                  row.method.types.c_str(), row.gnustep->c_str());
    } else {
      ++differing;
      std::printf("DIFFERS   %s: stand-in \"%s\", GNUstep \"%s\"\n", row.name.c_str(),
                  row.method.types.c_str(), row.gnustep->c_str());
    }
  }
  std::printf("%zu methods match GNUstep, %zu differ, %zu unchecked\n", matching, differing,
              unchecked);
  if (matching + differing == 0) {
    std::printf("nothing was compared: are GNUstep's classes loaded?\n");
    return 1;
  }
  return differing == 0 ? 0 : 1;
}
