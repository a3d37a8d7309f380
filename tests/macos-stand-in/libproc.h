// Stand-in: proc_name of libproc. Declarations only.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
int proc_name(int pid, void* buffer, uint32_t buffersize);
#ifdef __cplusplus
}
#endif
