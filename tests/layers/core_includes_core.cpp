// Compiles against the core's include roots: the control for core_includes_tiling.cpp.
#include "core/pipeline.h"
#include "vandrel/error.h"
