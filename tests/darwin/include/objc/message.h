// Mirrors <objc/message.h> of Apple's SDK (objc4, with its default
// OBJC_OLD_DISPATCH_PROTOTYPES of 0): objc_msgSend takes no declared
// arguments and must be cast to the method's exact type before a call.
#pragma once

#include <objc/objc.h>

#ifdef __cplusplus
extern "C" {
#endif

void objc_msgSend(void /* id self, SEL op, ... */);

#ifdef __cplusplus
}
#endif
