// Compiled against one layer with PROBE_HEADER naming a header of another:
// the build must find it only where the layers allow.
#include PROBE_HEADER
