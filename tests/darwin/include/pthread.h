// Mirrors the macOS-only part of <pthread.h> of Apple's SDK on top of the
// system's own: pthread_main_np.
#pragma once

#include_next <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns non-zero if the current thread is the main thread. */
int pthread_main_np(void);

#ifdef __cplusplus
}
#endif
