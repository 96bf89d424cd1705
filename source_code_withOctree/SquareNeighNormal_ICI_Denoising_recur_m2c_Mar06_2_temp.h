#pragma once
#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// One LPA-ICI pass over the points of one block.
///   X           in      N x 3 single block points (N >= 50), 1-based rows are block indices
///   b           in/out  N x 1 noise levels; rewritten with the re-estimated levels
///   neighbours  in      N-element cell; element j a 1 x n double row of the 1-based rows
///                       within the search radius of point j, j included
///   Y           out     resized to N x 3: the filtered points
///   Gamma       in      ICI threshold (0.55 in the first pass, 0.85 in the second)
///   r0          in      maximum half-width of the quadrant boxes
/// Asks the host for the 50 nearest neighbours of every point ("knnsearch", "int32").
/// Runs three parallel loops; the result does not depend on the thread count.
/// Calling thread only.
void SquareNeighNormal_ICI_Denoising_recur_m2c_Mar06_2_temp(Context& ctx, const emxArray_real32_T* X,
                                                            emxArray_real32_T* b,
                                                            const emxArray_cell_wrap_2* neighbours,
                                                            emxArray_real32_T* Y, float Gamma, float r0);

}  // namespace vandrel
