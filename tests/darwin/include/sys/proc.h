// Mirrors the user-visible part of <sys/proc.h> of Apple's SDK: the process
// states.
#pragma once

#define SIDL 1   /* Process being created by fork. */
#define SRUN 2   /* Currently runnable. */
#define SSLEEP 3 /* Sleeping on an address. */
#define SSTOP 4  /* Process debugging or suspension. */
#define SZOMB 5  /* Awaiting collection by parent. */
