#pragma once
#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// Denoises a point cloud: scales it by sqrt(dens_pcd), encloses it in one block,
/// filters every block of 50 points or more in two passes, merges the blocks back by
/// box weights and scales the result back.
///   pcd_noi    in/out  N x 3 single, column-major, one point per row; scaled in place,
///                      so callers hand over a copy they do not need any more
///   sigma_pcd  in      noise standard deviation in the cloud's units; finite, >= 0
///   dens_pcd   in      density scale; finite, > 0
///   result     out     N x 3, row i is the filtered point i (caller creates it empty, 2-D)
/// Prints two pass lines per kept block through the host's fprintf. Raises
/// "Vandrel:invalidSigma", "Vandrel:invalidDensity" or "Vandrel:tooManyPoints" for
/// arguments it cannot filter, and whatever the host's searches raise. Calling thread only.
void Vandrel(Context& ctx, emxArray_real32_T* pcd_noi, float sigma_pcd, float dens_pcd, emxArray_real32_T* result);

}  // namespace vandrel
