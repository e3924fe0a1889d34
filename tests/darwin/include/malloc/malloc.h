// Mirrors <malloc/malloc.h> of Apple's SDK: zones and the pressure relief
// call. The zone's fields are left out: nothing here reads them, and a zone is
// only ever handled through a pointer.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _malloc_zone_t malloc_zone_t;

extern size_t malloc_zone_pressure_relief(malloc_zone_t* zone, size_t goal);

#ifdef __cplusplus
}
#endif
