// Mirrors the macOS-only part of <sys/socket.h> of Apple's SDK on top of the
// system's own: SO_NOSIGPIPE. macOS has neither accept4 nor the SOCK_CLOEXEC
// and SOCK_NONBLOCK type flags, so they are poisoned here.
#pragma once

#include_next <sys/socket.h>

#define SO_NOSIGPIPE 0x1022 /* APPLE: No SIGPIPE on EPIPE */

#undef SOCK_CLOEXEC
#undef SOCK_NONBLOCK
#pragma GCC poison accept4 SOCK_CLOEXEC SOCK_NONBLOCK
