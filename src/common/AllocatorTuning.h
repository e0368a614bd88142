#pragma once

// Keeps freed image-sized buffers inside the process for reuse.
//
// Every composite allocates a new full-size mask and result. By default glibc
// serves such blocks with fresh mmap()s, and touching fresh pages costs a page
// fault per 4 KiB: on some machines that alone is several times the work of
// the composite (about 70 ms for a 2560 x 1920 RGBA result under a sandboxed
// kernel). Raising the mmap and trim thresholds makes those blocks come from,
// and go back to, the heap, where the next composite finds them already mapped.
// Every thread shares that one heap, so that releaseFreedMemory() finds all
// that was freed. Call once, early in main(), before any thread starts.
void tuneAllocatorForLargeImages();

// Hands the free memory of every heap back to the system, also free pages
// between blocks still in use. With the thresholds above, a burst of
// temporary allocations (parsing the network file, some 230 MiB) would
// otherwise stay resident for the life of the process.
void releaseFreedMemory();
