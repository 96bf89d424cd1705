#include "core/parameters.h"

#include <bit>
#include <cmath>
#include <string>

#include "vandrel/error.h"

namespace vandrel {
namespace {

// The largest single below 12: the smallest maximum half-width of a quadrant box.
constexpr float min_half_width = std::bit_cast<float>(0x413FFFFFu);

}  // namespace

void check_parameters(float sigma, float density, const ParameterNames& names) {
  if (!std::isfinite(sigma) || sigma < 0.0f) {
    throw Error("Vandrel:invalidSigma", std::string(names.sigma) +
                                            " must be a finite noise standard deviation >= 0, but it is " +
                                            std::to_string(sigma) + ".");
  }
  if (!std::isfinite(density) || density <= 0.0f) {
    throw Error("Vandrel:invalidDensity", std::string(names.density) + " must be a finite density > 0, but it is " +
                                              std::to_string(density) + ".");
  }
}

void check_thread_count(int threads) {
  if (threads < 0 || threads > max_threads) {
    throw Error("Vandrel:invalidThreads", "threads must be 0 (all processors) to " + std::to_string(max_threads) +
                                              ", but it is " + std::to_string(threads) + ".");
  }
}

FilterSizes filter_sizes(float sigma, float density, const ParameterNames& names) {
  check_parameters(sigma, density, names);
  FilterSizes sizes;
  sizes.scale = std::sqrt(density);
  sizes.scaled_sigma = sigma * sizes.scale;
  const float five_sigma = 5.0f * sizes.scaled_sigma;
  sizes.max_half_width = five_sigma > min_half_width ? five_sigma : min_half_width;
  sizes.search_radius = std::sqrt((sizes.max_half_width * sizes.max_half_width) * 3.0f);
  if (!std::isfinite(sizes.search_radius)) {
    throw Error("Vandrel:invalidSigma", std::string(names.sigma) + " " + std::to_string(sigma) + " times sqrt(" +
                                            std::string(names.density) +
                                            ") is beyond the single-precision range of the neighbourhood sizes.");
  }
  return sizes;
}

}  // namespace vandrel
