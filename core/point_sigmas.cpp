#include "core/point_sigmas.h"

#include <cmath>
#include <string>

#include "core/finite.h"
#include "vandrel/error.h"

namespace vandrel {

void check_point_sigma_count(std::size_t values, std::size_t points, const ParameterNames& names) {
  if (values != points) {
    throw Error("Vandrel:invalidSigma", std::string(names.sigma) + " holds " + std::to_string(values) +
                                            " values for " + std::to_string(points) +
                                            " points: give one noise level per point, or a single value.");
  }
}

float largest_point_sigma(std::span<const Point> cloud, std::span<const float> sigmas, const ParameterNames& names) {
  check_point_sigma_count(sigmas.size(), cloud.size(), names);
  float largest = 0.0f;
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    if (!finite(cloud[i])) continue;
    if (!std::isfinite(sigmas[i]) || sigmas[i] < 0.0f) {
      throw Error("Vandrel:invalidSigma", std::string(names.sigma) + " of point " + std::to_string(i + 1) +
                                              " must be a finite noise standard deviation >= 0, but it is " +
                                              std::to_string(sigmas[i]) + ".");
    }
    largest = sigmas[i] > largest ? sigmas[i] : largest;
  }
  return largest;
}

}  // namespace vandrel
