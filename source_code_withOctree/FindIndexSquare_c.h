#pragma once
#include <cstdint>

namespace vandrel {

/// Selects the points strictly inside an axis-aligned box.
///   points        in   K x 3 singles, column-major (all u, then all v, then all w)
///   K             in   number of points, K >= 0
///   bounds        in   {lower u, lower v, lower w, upper u, upper v, upper w}
///   index_buffer  out  K entries of storage; the first *count receive the 1-based rows
///                      of the selected points, ascending (the rest is scratch)
///   count         out  number of selected points (0 when K = 0 or nothing is inside)
/// The box is open on every face: a point exactly on a bound is outside, and a NaN
/// coordinate or a NaN bound selects nothing. Allocation-free; reentrant.
void FindIndexSquare(const float* points, std::int32_t K, const float bounds[6], std::int32_t* index_buffer,
                     std::int32_t* count);

}  // namespace vandrel
