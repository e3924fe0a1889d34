// Mirrors <CoreFoundation/CoreFoundation.h> of Apple's SDK (CFBase.h,
// CFData.h, CFDictionary.h, CFNumber.h, CFString.h, CFURL.h, CFError.h): the
// types and calls the Security framework's keys and code checks take.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char Boolean;
typedef unsigned char UInt8;
typedef signed long CFIndex;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef SInt32 OSStatus;

typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFData* CFDataRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFURL* CFURLRef;
typedef struct __CFError* CFErrorRef;

extern const CFAllocatorRef kCFAllocatorDefault;

extern void CFRelease(CFTypeRef cf);

extern CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length);
extern CFIndex CFDataGetLength(CFDataRef theData);
extern const UInt8* CFDataGetBytePtr(CFDataRef theData);

typedef const void* (*CFDictionaryRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFDictionaryReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFDictionaryCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFDictionaryEqualCallBack)(const void* value1, const void* value2);
typedef unsigned long CFHashCode;
typedef CFHashCode (*CFDictionaryHashCallBack)(const void* value);
typedef struct {
  CFIndex version;
  CFDictionaryRetainCallBack retain;
  CFDictionaryReleaseCallBack release;
  CFDictionaryCopyDescriptionCallBack copyDescription;
  CFDictionaryEqualCallBack equal;
  CFDictionaryHashCallBack hash;
} CFDictionaryKeyCallBacks;
typedef struct {
  CFIndex version;
  CFDictionaryRetainCallBack retain;
  CFDictionaryReleaseCallBack release;
  CFDictionaryCopyDescriptionCallBack copyDescription;
  CFDictionaryEqualCallBack equal;
} CFDictionaryValueCallBacks;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

extern CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys,
                                          const void** values, CFIndex numValues,
                                          const CFDictionaryKeyCallBacks* keyCallBacks,
                                          const CFDictionaryValueCallBacks* valueCallBacks);

typedef CFIndex CFNumberType;
enum {
  kCFNumberSInt32Type = 3,
  kCFNumberIntType = 9,
};
extern CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType,
                                  const void* valuePtr);

typedef UInt32 CFStringEncoding;
enum {
  kCFStringEncodingUTF8 = 0x08000100,
};
extern CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                             CFStringEncoding encoding);

extern CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator,
                                                        const UInt8* buffer, CFIndex bufLen,
                                                        Boolean isDirectory);

#ifdef __cplusplus
}
#endif
