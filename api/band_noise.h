#pragma once
#include <span>

#include "vandrel/point.h"

namespace vandrel {

/// The step of the lattice a depth band's coordinates sit on, as a depth camera quantises its
/// depths (disparity in whole fractions of a pixel, depths in whole millimetres).
///   points  x, y, z triples of one band of range; rows with a NaN or Inf coordinate are ignored
/// For each axis, the band's distinct coordinate values are counted; an axis whose values
/// hold on average at least 8 points each is on a lattice, and the one with the fewest
/// distinct values is the depth. Each distinct value's step is the gap to the nearer of its
/// neighbouring values; the band's step is the median of those steps over its points. 0 when
/// no axis is on a lattice (coordinates that vary continuously) or fewer than 3 values are.
/// Deterministic; reentrant.
double depth_step(std::span<const Point> points);

/// The noise of one depth band (`sigma`): estimate_sigma where its depths vary continuously or where
/// the estimator's patches already span several depth steps; else estimate_sigma of the band
/// thinned until they do.
/// Depths quantised in a step q wider than the noise lie on terraces: a small patch of
/// points on a surface turned from the sensor lies on one or two terraces, its plane follows
/// them, and the estimate misses most of the quantisation error (q^2 / 12 of variance along
/// the ray) or reads 0. Taking every k-th point of the band (in its order) widens the
/// patches k-fold in area, so k is chosen for patches of radius 5 q or more: their planes
/// then cross several terraces and measure the noise and the quantisation together, the
/// distance of the points from their surface. The estimate is the root mean square of
/// those of up to 4 interleaved thinnings, each kept to 500 points or more.
/// Throws what estimate_sigma and estimate_density throw. Deterministic; reentrant.
struct BandNoise {
  float sigma = 0.0f;
  double step = 0.0;  // depth_step of the band
};
BandNoise estimate_band_noise(std::span<const Point> points);

}  // namespace vandrel
