#pragma once

// Whether a network keeps its working buffer from one forward pass to the
// next. Kept, the next pass finds its pages already mapped (a quarter of a
// gigabyte for the segmentation network); let go, the process holds only
// the weights between passes. Process-wide, like the forward lock: the
// buffers belong to whichever networks are loaded.
namespace WorkingMemory {

// Kept by default. Let go, every pass hands its buffer back as it ends.
void keepBetweenPasses(bool keep);
bool keptBetweenPasses();

} // namespace WorkingMemory
