#pragma once
#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// First-order local polynomial estimate: the unweighted least-squares plane
/// w = c1 u + c2 v + c3 through a neighbourhood, evaluated at its first point.
///   P         in   n x 3 (u, v, w) in the local frame, column-major; row 1 is the point
///                  being estimated, normally shifted to the origin
///   estimate  out  the fitted w at row 1's (u, v): sum over i of g(i) P(i,3)
///   g         out  resized to 1 x n (2-D): the estimation kernel, the weights that map
///                  the points' w to the estimate; it sums to 1 and reproduces u and v
///   normal    out  (-c1, -c2, 1), the fitted plane's normal, not normalised
/// The normal equations are solved by LU with pivoting, never by an explicit inverse.
/// Points that do not determine a plane (n < 3, or all (u, v) on one line) make the
/// normal matrix singular and give infinite or NaN values; NaN in P propagates. n = 0
/// gives an empty g, estimate 0 and normal (0, 0, 1). Nothing is reported.
/// Reentrant: ctx is the calling thread's context; BLAS and LAPACK must be thread-safe.
void polynom_kernel_ICI_octant_single_est_order1(Context& ctx, const emxArray_real32_T* P, float* estimate,
                                                 emxArray_real32_T* g, float normal[3]);

}  // namespace vandrel
