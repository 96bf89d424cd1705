#pragma once
#include "mex.h"

namespace vandrel {

/// Filters the cloud of one plug-in call, in the call's run-time context.
///   inputs        pcd_noi (real single N x 3), sigma_pcd, dens_pcd (real single scalars);
///                 the caller's arrays are never modified
///   output_count  0 or 1 (already checked); one array is returned either way
///   outputs       outputs[0] receives a new real single N x 3 array, the filtered cloud
/// Raises "Vandrel:classMismatch", "Vandrel:complexMismatch" or "Vandrel:sizeMismatch"
/// naming "pcd_noi", "sigma_pcd" or "dens_pcd" before any filtering, and whatever the
/// filter raises. Calling thread only.
void Vandrel_api(const mxArray* const inputs[3], int output_count, mxArray* outputs[1]);

}  // namespace vandrel
