// Mirrors <libproc.h> of Apple's SDK: listing processes and asking about one.
#pragma once

#include <stdint.h>
#include <sys/proc_info.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

int proc_listpids(uint32_t type, uint32_t typeinfo, void* buffer, int buffersize);
int proc_pidinfo(int pid, int flavor, uint64_t arg, void* buffer, int buffersize);
int proc_pidpath(int pid, void* buffer, uint32_t buffersize);

#ifdef __cplusplus
}
#endif
