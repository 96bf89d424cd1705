#pragma once
#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// The points inside one quadrant box of a point's local frame: side a in the tangent
/// plane (u, v), on the quadrant's side of the centre, and a band of half-thickness b
/// around the centre along the normal w. Quadrants are numbered counter-clockwise from
/// (+u, +v): 1 is u in (cu, cu + a), v in (cv, cv + a); 2 is u in (cu - a, cu),
/// v in (cv, cv + a); 3 is u in (cu - a, cu), v in (cv - a, cv); 4 is u in (cu, cu + a),
/// v in (cv - a, cv). w is in (cw - b, cw + b) for all four.
///   centre  in   1 x 3 (cu, cv, cw); its first three stored values are used
///   points  in   K x 3 (u, v, w), column-major, K >= 0
///   result  out  resized to K' x 1 (size[0] = K', size[1] = 1 when 2-D): the 1-based
///                rows of the selected points, ascending, as singles
///   a, b    in   side and half-thickness
///   q       in   quadrant 1, 2, 3 or 4 as a single value, truncated to an integer
/// The box is open: points on a face, and so the centre and any point sharing its u or
/// v, are never selected. A NaN side selects nothing. Reentrant: ctx is the calling
/// thread's context, which owns the working arrays during the call.
void find_index_in_anisotropic_square_v2(Context& ctx, const emxArray_real32_T* centre,
                                         const emxArray_real32_T* points, emxArray_real32_T* result, float a,
                                         float b, float q);

}  // namespace vandrel
