#pragma once
#include <cstdint>

#include "mex.h"

// The plug-in's exported functions: everything else is hidden.
#if defined(_WIN32)
#define VANDREL_EXPORT extern "C" __declspec(dllexport)
#else
#define VANDREL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

/// The call: Vandrel_multicore_mex(pcd_noi, sigma_pcd, dens_pcd) with pcd_noi a real single
/// N x 3 matrix and the others real single scalars; one output, the filtered cloud (real
/// single N x 3). Raises the host's errors with the filter's identifiers.
VANDREL_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

/// The interface handshake: the release the plug-in is built for (0x2019B) and the API
/// version (0x8000000).
VANDREL_EXPORT void mexfilerequiredapiversion(unsigned int* built_by_release, unsigned int* target_api_version);

/// A new 1 x 1 structure describing the plug-in, fields in this order: "Version" (the
/// host version text it is built for), "ResolvedFunctions" (a 1 x n cell row naming the
/// filter's own functions), "EntryPoints" (a 1 x 1 structure: "Name", "NumberOfInputs",
/// "NumberOfOutputs", "ConstantInputs", "FullPath", "TimeStamp") and "CoverageInfo" (empty).
/// The caller owns the array.
VANDREL_EXPORT mxArray* emlrtMexFcnProperties();
