#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/point.h"

namespace vandrel {

/// Noise that grows with the distance r from the sensor, as a depth camera's does (its
/// depth noise grows about as r^2): sigma(r) = a + b r^2, in the cloud's units.
struct RangeNoise {
  double a = 0.0;   // the noise at the sensor
  double b = 0.0;   // its growth per squared unit of range
  PointD sensor{};  // where r is measured from, in the coordinates of the points modelled
  /// What a and b were fitted to: the cloud cut into bands of range, each with as many
  /// finite points, and the sigma estimate_sigma gives for each.
  struct Band {
    double range = 0.0;  // the root mean square range of the band's points
    float sigma = 0.0f;
    std::int64_t points = 0;
    double step = 0.0;  // the step of the lattice its depths sit on (quantised); 0: none
  };
  std::vector<Band> bands;
  /// The noise at range r.
  double at(double range) const { return a + b * (range * range); }
};

/// The fewest finite points of one depth band: fewer make the band's estimate a guess.
inline constexpr std::int64_t min_band_points = 2000;

/// Fits sigma(r) = a + b r^2 about `sensor` (in the coordinates of `points`): the finite
/// points, ordered by range (ties by row), are cut into up to 8 bands of equal counts and
/// at least min_band_points each; each band is measured by estimate_sigma, or, where its
/// depths are quantised in steps the estimator's patches cannot span, by estimate_sigma of the
/// band thinned until they do (see api/band_noise.h; a band that cannot be measured is left
/// out, and so is a quantised band that reads no noise while another band reads some: its
/// terraces are wider than its patches, and its noise unmeasured, not 0); a and b are the
/// least-squares line through (range^2, sigma) of the bands, kept >= 0
/// (a negative a gives the line through 0, a negative b a constant sigma, the median of the
/// bands). One band gives a constant sigma.
/// Throws vandrel::Error "Vandrel:tooFewPoints" for fewer than min_band_points finite
/// points, "Vandrel:degenerateCloud" when no band can be measured. Deterministic; reentrant.
RangeNoise estimate_range_noise(std::span<const Point> points, const PointD& sensor);

/// Each point's sigma under `model`: a + b r^2 at its range, rounded to single once; 0 for
/// rows with a NaN or infinite coordinate (never read by the filter). Reentrant.
std::vector<float> range_sigmas(std::span<const Point> points, const RangeNoise& model);

}  // namespace vandrel
