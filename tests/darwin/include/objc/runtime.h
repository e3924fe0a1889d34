// Mirrors <objc/runtime.h> of Apple's SDK (objc4): class look-up and the
// creation of classes at run time.
#pragma once

#include <objc/objc.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

Class objc_getClass(const char* name);
Class objc_allocateClassPair(Class superclass, const char* name, size_t extraBytes);
void objc_registerClassPair(Class cls);
BOOL class_addMethod(Class cls, SEL name, IMP imp, const char* types);

#ifdef __cplusplus
}
#endif
