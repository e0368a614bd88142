#include "AllocatorTuning.h"

#include <cstdlib> // defines __GLIBC__ where glibc is the C library

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void tuneAllocatorForLargeImages()
{
#if defined(__GLIBC__)
    // Blocks up to 32 MiB (glibc's ceiling for this setting; a 2560 x 1920
    // RGBA result is 19 MiB) come from the heap, and up to 128 MiB of free
    // space at its top is kept rather than returned.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
    // One heap for every thread: an image decoded on one worker and freed
    // on the GUI thread otherwise leaves pieces of it in that worker's own
    // heap, where blocks still in use keep freed pages around them from
    // going back (tens of megabytes after a 12 MP image, and more or less
    // from one run to the next). The threads are few and allocate
    // seldom; contention does not show.
    mallopt(M_ARENA_MAX, 1);
#endif
}

void releaseFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}
