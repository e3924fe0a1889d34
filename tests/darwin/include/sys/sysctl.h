// Mirrors <sys/sysctl.h> of Apple's SDK: sysctl and the kern names the test
// support reads. Linux's C library no longer has this header.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#define CTL_KERN 1 /* "high kernel": proc, limits */

#define KERN_ARGMAX 8     /* int: max arguments to exec */
#define KERN_PROCARGS2 49 /* the argument count, the executable's path and the arguments */

#ifdef __cplusplus
extern "C" {
#endif

int sysctl(int*, u_int, void*, size_t*, void*, size_t);

#ifdef __cplusplus
}
#endif
