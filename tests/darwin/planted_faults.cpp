// Calls that macOS would refuse, each compiled on its own by
// scripts/check-darwin, which expects every one to fail against
// tests/darwin/include/ and the correct calls (PLANTED_FAULT 0) to pass. If a
// fault compiles, the declaration headers have lost the exactness that makes
// the check worth running.
#include <CommonCrypto/CommonHMAC.h>
#include <dispatch/dispatch.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <malloc/malloc.h>
#include <objc/runtime.h>
#include <spawn.h>
#include <sys/event.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#ifndef PLANTED_FAULT
#error "compile with -DPLANTED_FAULT=N"
#endif

void calls(dispatch_source_t source, posix_spawn_file_actions_t* actions) {
  unsigned char mac[CC_SHA256_DIGEST_LENGTH];
  char path[64];
#if PLANTED_FAULT == 1
  // CCHmac writes through its last argument; it returns nothing.
  void* out = CCHmac(kCCHmacAlgSHA256, "k", 1, "m", 1, mac);
  (void)out;
#else
  CCHmac(kCCHmacAlgSHA256, "k", 1, "m", 1, mac);
#endif
#if PLANTED_FAULT == 2
  size_t size = sizeof path;  // the size is a uint32_t on macOS
#else
  uint32_t size = sizeof path;
#endif
  (void)_NSGetExecutablePath(path, &size);
#if PLANTED_FAULT == 3
  int fds[2];
  (void)pipe2(fds, 0);  // Linux only
#endif
#if PLANTED_FAULT == 4
  posix_spawnattr_t attributes{};
  (void)attributes.__flags;  // an opaque pointer on macOS, not glibc's structure
#endif
#if PLANTED_FAULT == 5
  (void)posix_spawn_file_actions_addclosefrom_np(actions, 3);  // not in Apple's libc
#else
  (void)posix_spawn_file_actions_addinherit_np(actions, STDIN_FILENO);
#endif
#if PLANTED_FAULT == 6
  int not_a_dispatch_object = 0;
  dispatch_resume(&not_a_dispatch_object);
#else
  dispatch_resume(source);
#endif
#if PLANTED_FAULT == 7
  const Class cls = objc_getClass(nullptr, "NSObject");
#else
  const Class cls = objc_getClass("NSObject");
#endif
  (void)cls;
#if PLANTED_FAULT == 8
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // Linux only
#else
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
#endif
  const int on = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
  struct kevent change;
#if PLANTED_FAULT == 9
  EV_SET(&change, 1, EVFILT_PROC, EV_ADD, NOTE_EXIT, 0, nullptr, 0);
#else
  EV_SET(&change, 1, EVFILT_PROC, EV_ADD, NOTE_EXIT, 0, nullptr);
#endif
  (void)change;
#if PLANTED_FAULT == 10
  (void)malloc_zone_pressure_relief(0);
#else
  (void)malloc_zone_pressure_relief(nullptr, 0);
#endif
}
