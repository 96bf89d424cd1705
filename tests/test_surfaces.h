#pragma once
// Synthetic noisy surfaces with known geometry, for end-to-end tests.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace vandrel::fixtures {

/// n points uniformly on a square of side `side` in the plane z = 0, with Gaussian noise
/// of deviation sigma on every coordinate; column-major.
inline std::vector<float> noisy_plane(std::int32_t n, float side, float sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, side);
  std::normal_distribution<float> noise(0.0f, sigma);
  std::vector<float> xyz(static_cast<std::size_t>(3 * n));
  for (std::int32_t i = 0; i < n; ++i) {
    xyz[static_cast<std::size_t>(i)] = u(rng) + noise(rng);
    xyz[static_cast<std::size_t>(n + i)] = u(rng) + noise(rng);
    xyz[static_cast<std::size_t>(2 * n + i)] = noise(rng);
  }
  return xyz;
}

/// n points uniformly on a sphere of the given radius about the origin, with Gaussian
/// noise of deviation sigma on every coordinate; column-major.
inline std::vector<float> noisy_sphere(std::int32_t n, float radius, float sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> direction(0.0, 1.0);
  std::normal_distribution<float> noise(0.0f, sigma);
  std::vector<float> xyz(static_cast<std::size_t>(3 * n));
  for (std::int32_t i = 0; i < n; ++i) {
    double d[3] = {direction(rng), direction(rng), direction(rng)};
    const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    for (int c = 0; c < 3; ++c) {
      xyz[static_cast<std::size_t>(i + n * c)] = static_cast<float>(d[c] / length * radius) + noise(rng);
    }
  }
  return xyz;
}

/// Mean distance of the points to the plane z = 0 (NaN rows count as failures: +inf).
inline double mean_distance_to_plane(const std::vector<float>& xyz) {
  const std::size_t n = xyz.size() / 3;
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) total += std::fabs(static_cast<double>(xyz[2 * n + i]));
  return total / static_cast<double>(n);
}

inline double mean_distance_to_sphere(const std::vector<float>& xyz, double radius) {
  const std::size_t n = xyz.size() / 3;
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = xyz[i], y = xyz[n + i], z = xyz[2 * n + i];
    total += std::fabs(std::sqrt(x * x + y * y + z * z) - radius);
  }
  return total / static_cast<double>(n);
}

}  // namespace vandrel::fixtures
