#pragma once
#include <cstdint>

namespace vandrel {

/// Estimates the sampling density of a point cloud that samples a surface: points per
/// unit area, the scale the filter expects (it scales the cloud by the square root).
///   xyz  in  column-major N x 3 single matrix (all x, then all y, then all z)
///   n    in  number of points; at least 50 with finite coordinates
/// For up to 4096 points spread evenly over the row order, the points nearest in the
/// local tangent plane are gathered inside a slab around it, so that noise across the
/// surface neither hides nor adds neighbours; the median squared distance to the 23rd of
/// them gives the density of a uniform random sampling. Rows with a NaN or Inf coordinate
/// are ignored. Holes, borders and curvature change little as long as they involve less
/// than half of the surface; a cloud that is not locally a surface (a line, a volume) gets
/// a number without meaning.
/// Throws vandrel::Error "Vandrel:tooFewPoints" for fewer than 50 finite points and
/// "Vandrel:degenerateCloud" when the points coincide. Does not modify `xyz`. Reentrant.
float estimate_density(const float* xyz, std::int64_t n);

/// Estimates the standard deviation of isotropic Gaussian noise on every coordinate.
///   xyz  in  column-major N x 3 single matrix (all x, then all y, then all z)
///   n    in  number of points; at least 50 with finite coordinates
/// A plane is fitted to each sampled point's 24 nearest points in its tangent plane (the
/// same neighbourhoods as estimate_density); the residual sum of squares over its 21
/// degrees of freedom estimates the noise variance there, and the median over the points,
/// corrected for the skew of the chi-square distribution, gives sigma. Reliable while
/// sigma is below about 2 / sqrt(density) and the surface's radius of curvature is well
/// above 3 / sqrt(density); sharper curvature counts as noise. A noise-free cloud gives 0
/// up to rounding. Throws like estimate_density. Does not modify `xyz`. Reentrant.
float estimate_sigma(const float* xyz, std::int64_t n);

}  // namespace vandrel
