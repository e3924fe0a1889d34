// <unistd.h> as macOS has it: the system's own, less the Linux-only calls
// (pipe2, dup3, gettid), which are poisoned so that a Darwin file cannot use
// them.
#pragma once

#include_next <unistd.h>

#pragma GCC poison pipe2 dup3 gettid
