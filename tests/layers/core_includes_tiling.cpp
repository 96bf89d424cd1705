// Must not compile against the core's include roots: the core sees no layer above it.
#include "tiling/tiling.h"
