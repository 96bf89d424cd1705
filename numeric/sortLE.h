#pragma once
#include <cstdint>

#include "runtime/rtwtypes.h"

namespace vandrel {

/// True when the single values p and q count as equal: |q - p| is below the spacing of
/// single-precision numbers at |q| / 2, or p and q are infinities of the same sign.
/// The spacing of an infinite or NaN value is NaN, so such a q ties only by the
/// infinity rule; below 2^-126 the spacing is 2^-149. Pure; thread-safe.
bool iseq(float p, float q);

/// The comparator of the descending complex sort: true when x(i) is to come before
/// x(j) or may stay before it.
///   x     in  complex singles
///   i, j  in  1-based positions in x
/// Stages, the first that separates the two values decides:
///   1. NaN: a value with a NaN part comes first; two such values keep their order.
///   2. magnitude (hypot, halved operands above 1.7014117e38 to avoid overflow);
///   3. exact magnitude comparison through proxies, for magnitudes hypot rounds together;
///   4. phase angle atan2(im, re), larger first;
///   5. one rotated component chosen by the octant of x(i)'s angle; a tie is true.
/// Every stage but the last compares with iseq's tolerance. Pure; thread-safe.
bool sortLE(const creal32_T x[], std::int32_t i, std::int32_t j);

}  // namespace vandrel
