// Mirrors <objc/objc.h> of Apple's SDK (objc4, with its default
// OBJC_OLD_DISPATCH_PROTOTYPES of 0): the basic types and selectors.
#pragma once

#include <stdbool.h>

typedef struct objc_class* Class;

struct objc_object {
  Class isa;
};
typedef struct objc_object* id;

typedef struct objc_selector* SEL;

/* Method implementations are called only through a cast to their exact
 * type. */
typedef void (*IMP)(void /* id, SEL, ... */);

/* BOOL is bool on Apple silicon and signed char on Intel Macs; the compiler
 * says which through __OBJC_BOOL_IS_BOOL, and without it this is the Intel
 * one. */
#if defined(__OBJC_BOOL_IS_BOOL)
#if __OBJC_BOOL_IS_BOOL
#define OBJC_BOOL_IS_BOOL 1
#else
#define OBJC_BOOL_IS_BOOL 0
#endif
#else
#define OBJC_BOOL_IS_BOOL 0
#endif

#if OBJC_BOOL_IS_BOOL
typedef bool BOOL;
#else
#define OBJC_BOOL_IS_CHAR 1
typedef signed char BOOL;
#endif

#define YES ((BOOL)1)
#define NO ((BOOL)0)

#ifdef __cplusplus
#define Nil nullptr
#define nil nullptr
extern "C" {
#endif

SEL sel_registerName(const char* str);

#ifdef __cplusplus
}
#endif
