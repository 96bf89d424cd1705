#pragma once
#include <cstddef>
#include <span>

#include "vandrel/options.h"
#include "vandrel/point.h"

namespace vandrel {

/// Throws vandrel::Error "Vandrel:invalidSigma" unless there are as many per-point sigmas
/// (`values`) as points, calling the array by names.sigma.
void check_point_sigma_count(std::size_t values, std::size_t points, const ParameterNames& names);

/// The largest noise level of a per-point sigma array, which sets the filter's sizes.
///   cloud   N points
///   sigmas  N standard deviations, one per row, in the cloud's units: finite and >= 0 on
///           every row with finite coordinates (the others are never filtered, and their
///           values are not read)
/// Returns 0 for a cloud without finite rows. Throws vandrel::Error "Vandrel:invalidSigma"
/// for another count of values or a value out of range, naming the row (1-based) and
/// calling the array by names.sigma. Reentrant.
float largest_point_sigma(std::span<const Point> cloud, std::span<const float> sigmas, const ParameterNames& names);

}  // namespace vandrel
