// Mirrors <mach-o/dyld.h> of Apple's SDK: the running executable's path.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern int _NSGetExecutablePath(char* buf, uint32_t* bufsize);

#ifdef __cplusplus
}
#endif
