// Mirrors <sys/event.h> of Apple's SDK: kqueue, kevent, the filters, flags and
// process notes.
#pragma once

#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#define EVFILT_READ (-1)
#define EVFILT_WRITE (-2)
#define EVFILT_AIO (-3)    /* attached to aio requests */
#define EVFILT_VNODE (-4)  /* attached to vnodes */
#define EVFILT_PROC (-5)   /* attached to struct proc */
#define EVFILT_SIGNAL (-6) /* attached to struct proc */
#define EVFILT_TIMER (-7)  /* timers */

struct kevent {
  uintptr_t ident; /* identifier for this event */
  int16_t filter;  /* filter for event */
  uint16_t flags;  /* general flags */
  uint32_t fflags; /* filter-specific flags */
  intptr_t data;   /* filter-specific data */
  void* udata;     /* opaque user data identifier */
};

#define EV_SET(kevp, a, b, c, d, e, f) \
  do {                                 \
    struct kevent* __kevp__ = (kevp);  \
    __kevp__->ident = (a);             \
    __kevp__->filter = (b);            \
    __kevp__->flags = (c);             \
    __kevp__->fflags = (d);            \
    __kevp__->data = (e);              \
    __kevp__->udata = (f);             \
  } while (0)

/* actions */
#define EV_ADD 0x0001     /* add event to kq (implies enable) */
#define EV_DELETE 0x0002  /* delete event from kq */
#define EV_ENABLE 0x0004  /* enable event */
#define EV_DISABLE 0x0008 /* disable event (not reported) */

/* flags */
#define EV_ONESHOT 0x0010 /* only report one occurrence */
#define EV_CLEAR 0x0020   /* clear event state after reporting */
#define EV_RECEIPT 0x0040 /* force immediate event output */

/* returned values */
#define EV_EOF 0x8000   /* EOF detected */
#define EV_ERROR 0x4000 /* error, data contains errno */

/* data/hint fflags for EVFILT_PROC */
#define NOTE_EXIT 0x80000000U   /* process exited */
#define NOTE_FORK 0x40000000U   /* process forked */
#define NOTE_EXEC 0x20000000U   /* process exec'd */
#define NOTE_SIGNAL 0x08000000U /* shared with EVFILT_SIGNAL */
#define NOTE_EXITSTATUS 0x04000000U /* exit status to be returned, valid for child process only */

#ifdef __cplusplus
extern "C" {
#endif

int kqueue(void);
int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist,
           int nevents, const struct timespec* timeout);

#ifdef __cplusplus
}
#endif
