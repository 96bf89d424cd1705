#pragma once
#include <cstdint>

#include "mex.h"

// The plug-in's exported functions: everything else is hidden.
#if defined(_WIN32)
#define VANDREL_EXPORT extern "C" __declspec(dllexport)
#else
#define VANDREL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace vandrel {

/// Creates the call's run-time context with the context record and, in a threaded
/// build, the locker function over the global lock (which must exist).
void mexFunctionCreateRootTLS();

}  // namespace vandrel

/// A new 1 x 1 structure describing the plug-in, fields in this order: "Version" (the
/// host version text it is built for), "ResolvedFunctions" (a 1 x n cell row naming the
/// filter's own functions), "EntryPoints" (a 1 x 1 structure: "Name", "NumberOfInputs",
/// "NumberOfOutputs", "ConstantInputs", "FullPath", "TimeStamp") and "CoverageInfo" (empty).
/// The caller owns the array.
VANDREL_EXPORT mxArray* emlrtMexFcnProperties();

/// Blocks the host's allocator handed out during the last call and did not get back:
/// 0 unless that call leaked. A diagnostic for the plug-in's tests.
VANDREL_EXPORT std::int64_t vandrel_live_allocations();
