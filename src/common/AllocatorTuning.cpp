#include "AllocatorTuning.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void tuneAllocatorForLargeImages()
{
#if defined(__GLIBC__)
    // Blocks up to 64 MiB (a 2560 x 2560 RGBA64 image is 50 MiB) come from
    // the heap; up to 128 MiB of free space at its top is kept, not returned.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
#endif
}
