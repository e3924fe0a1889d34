// Mirrors, for C++ translation units, what <dispatch/dispatch.h> of Apple's
// SDK declares in <dispatch/object.h>, <dispatch/queue.h> and
// <dispatch/source.h>: the object types as a C++ class hierarchy (so that a
// queue converts to an object and nothing else does), the main queue, queue
// creation, asynchronous work and signal sources.
#pragma once

#include <stddef.h>
#include <stdint.h>

/* <dispatch/object.h>: dispatch objects are not C++ objects; C++ is still
 * told which converts to which. */
typedef struct dispatch_object_s {
 private:
  dispatch_object_s();
  ~dispatch_object_s();
  dispatch_object_s(const dispatch_object_s&);
  void operator=(const dispatch_object_s&);
} * dispatch_object_t;

#define DISPATCH_DECL(name) typedef struct name##_s : public dispatch_object_s { } * name##_t
#define DISPATCH_DECL_SUBCLASS(name, base) typedef struct name##_s : public base##_s { } * name##_t

/* <dispatch/base.h> */
typedef void (*dispatch_function_t)(void*);

/* <dispatch/queue.h> */
DISPATCH_DECL(dispatch_queue);
DISPATCH_DECL_SUBCLASS(dispatch_queue_serial, dispatch_queue);
DISPATCH_DECL_SUBCLASS(dispatch_queue_main, dispatch_queue_serial);
DISPATCH_DECL(dispatch_queue_attr);

#define DISPATCH_QUEUE_SERIAL NULL

/* <dispatch/source.h> */
DISPATCH_DECL(dispatch_source);
typedef const struct dispatch_source_type_s* dispatch_source_type_t;

extern "C" {

extern struct dispatch_queue_s _dispatch_main_q;

extern const struct dispatch_source_type_s _dispatch_source_type_signal;
#define DISPATCH_SOURCE_TYPE_SIGNAL (&_dispatch_source_type_signal)

void dispatch_resume(dispatch_object_t object);

void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);

dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         uintptr_t mask, dispatch_queue_t queue);
void dispatch_source_set_event_handler_f(dispatch_source_t source, dispatch_function_t handler);

}  // extern "C"

inline dispatch_queue_main_t dispatch_get_main_queue(void) {
  return (dispatch_queue_main_t)&_dispatch_main_q;
}
