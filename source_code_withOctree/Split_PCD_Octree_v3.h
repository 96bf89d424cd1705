#pragma once
#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// Encloses the cloud in one root cube (centred on its bounding box, edge set by the
/// longest extent) and lists the points inside it as the one block. The block-list
/// format holds up to 20000 blocks.
///   P        in   N x 3 single cloud, column-major (unchanged); N >= 0
///   blocks   out  1 x R cell: per block its M x 3 member points, in row order of P
///   indices  out  1 x R cell: per block the 1-based rows of P of its members (as
///                 singles, exact up to 16777216 rows)
///   spare    out  20000 x 1 zeros, unused by callers
///   boxes    out  R x 6: per block [xmin ymin zmin xmax ymax zmax]; the upper faces
///                 already carry the margin 11.999999
/// R is 1, or 0 when the cube's faces are all zero or NaN (every point at the origin,
/// an all-NaN or empty cloud). Points with a NaN coordinate are in no block. Faces are
/// inclusive. Reports nothing; calling thread only.
void Split_PCD_Octree_v3(Context& ctx, const emxArray_real32_T* P, emxArray_cell_wrap_0* blocks,
                         emxArray_cell_wrap_1* indices, emxArray_real32_T* spare, emxArray_real32_T* boxes);

}  // namespace vandrel
