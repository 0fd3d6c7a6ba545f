#include "net/memorytuning.h"

#include <mutex>

#ifdef __GLIBC__
#include <malloc.h>
#endif

void memoryTuning::keepLargeBuffers()
{
#ifdef __GLIBC__
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
        mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024);
    });
#endif
}

void memoryTuning::giveBack()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}
