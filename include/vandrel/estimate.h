#pragma once
#include <cstdint>
#include <span>

#include "vandrel/point.h"

namespace vandrel {

/// Estimates the sampling density of a point cloud that samples a surface: points per
/// unit area, the scale the filter expects (it scales the cloud by the square root).
///   points  x, y, z triples; at least 50 with finite coordinates
/// Up to 4096 points spread evenly over the row order each get a patch: the points nearest
/// to them in their tangent plane, within a slab around that plane several sigmas thick,
/// so that noise across the surface neither hides nor adds neighbours. The median squared
/// in-plane distance to the farthest of a patch's k others gives the density of a uniform
/// random sampling, through the median of Gamma(k, 1). Patches hold 24 points, more when the
/// noise is large (see estimate_sigma). Rows with a NaN or Inf coordinate are ignored.
/// Being a median, it is the density around a typical point: borders, holes and outliers
/// matter little; where the density varies, the denser parts weigh more; samplings far
/// from random are off by up to about 20 % (a square grid gives 10 % less, scan lines four
/// times denser along than across 20 % more). A cloud that is not locally a surface (a
/// line, a volume) gets a number without meaning.
/// Throws vandrel::Error "Vandrel:tooFewPoints" for fewer than 50 finite points and
/// "Vandrel:degenerateCloud" when most points coincide or fewer than half the patches can
/// be gathered.  Deterministic; reentrant.
float estimate_density(std::span<const Point> points);

/// Estimates the standard deviation of isotropic Gaussian noise on every coordinate.
///   points  x, y, z triples; at least 50 with finite coordinates
/// A plane is fitted to each patch of estimate_density; its residual sum of squares over
/// the m - 3 degrees of freedom of an m-point patch estimates the noise variance there, and
/// the median over the patches, corrected for the skew of the chi-square distribution,
/// gives sigma. A plane fitted to a patch hardly wider than the noise is thick tilts into
/// the noise, so the survey is repeated with patches at least 4 sigma in radius (up to 1024
/// points) and a slab 4.5 sigma thick until the estimate settles. Curvature reads as
/// noise: the estimate holds while the patches, of radius max(2.8 / sqrt(density),
/// 4 sigma), stay below about a third of the surface's radius of curvature. Outliers
/// raise it a little (10 % of points scattered off the surface: 6 %). A noise-free plane
/// gives 0. Throws like estimate_density.  Deterministic; reentrant.
float estimate_sigma(std::span<const Point> points);

/// How far the points spread off their surface at a scale wider than estimate_sigma's
/// patches: what tells a cloud whose noise the estimators cannot see (depths quantised in
/// steps wider than the noise, where most patches lie exactly in one step and
/// estimate_sigma gives 0) from a noise-free one.
struct SurfaceSpread {
  std::int64_t neighbourhoods = 0;  // measured
  std::int64_t off_plane = 0;       // of them, those whose points do not lie on one plane
  double largest = 0.0;             // the largest RMS distance of such points from their plane
};

/// Up to 1024 finite points spread evenly over the row order each get a plane fitted (by
/// orthogonal least squares, in double) to their 96 nearest neighbours; a neighbourhood is
/// off its plane when the RMS distance of its points from the plane exceeds 4 rounding
/// steps of single precision at its coordinates. None measured for 96 finite points or
/// fewer. Deterministic; reentrant.
SurfaceSpread surface_spread(std::span<const Point> points);

/// How much the sampling density varies over a cloud: what tells whether one density can
/// describe it.
struct DensitySpread {
  std::int64_t samples = 0;  // points whose local density was measured
  double low = 0.0;          // 10th percentile of the local densities, points per unit area
  double high = 0.0;         // 90th percentile
};

/// Up to 1024 finite points spread evenly over the row order each get a local density,
/// 16 / (pi d^2) with d the distance (in 3-D, in double) to the 16th nearest other point;
/// samples whose 16 nearest others coincide with them are left out. None measured for 16
/// finite points or fewer. Deterministic; reentrant.
DensitySpread density_spread(std::span<const Point> points);

}  // namespace vandrel
