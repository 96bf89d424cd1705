#pragma once
#include "vandrel/options.h"

namespace vandrel {

/// The names the plug-in gives sigma and density; the filter's messages use them unless a
/// front end names its own.
inline constexpr ParameterNames plugin_names{"sigma_pcd", "dens_pcd"};

/// Refuses a sigma that is not finite and >= 0 ("Vandrel:invalidSigma") or a density that
/// is not finite and > 0 ("Vandrel:invalidDensity"), calling them by `names`.
void check_parameters(float sigma, float density, const ParameterNames& names = plugin_names);

/// Refuses a thread count outside 0 to max_threads ("Vandrel:invalidThreads").
void check_thread_count(int threads);

/// The filter's sizes for a sigma and density, in units scaled by sqrt(density).
struct FilterSizes {
  float scale = 1.0f;           // sqrt(density)
  float scaled_sigma = 0.0f;    // sigma * scale
  float max_half_width = 0.0f;  // r0 = max(5 sigma', the largest single below 12): the quadrant boxes' bound
  float search_radius = 0.0f;   // sqrt(3) r0: reaches every corner of the cube of half-edge r0 around a point
};

/// Checks the parameters (as check_parameters) and computes the sizes as the filter does;
/// throws "Vandrel:invalidSigma" when the search radius leaves the single-precision range.
FilterSizes filter_sizes(float sigma, float density, const ParameterNames& names = plugin_names);

}  // namespace vandrel
