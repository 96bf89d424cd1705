#pragma once
// The clouds the tiling tests cut.
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "vandrel/point.h"

namespace vandrel::testing {

// A noisy wavy strip, one point per unit area, long enough along x for tiles whose halos
// do not reach across it; a sparse patch at one end (points 3 apart, so that their 50th
// nearest neighbours lie beyond the first halo's reach) and a few NaN rows.
inline std::vector<Point> strip(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> along(0.0f, 600.0f);
  std::uniform_real_distribution<float> across(0.0f, 20.0f);
  std::normal_distribution<float> noise(0.0f, 0.4f);
  std::vector<Point> points;
  for (int i = 0; i < 600 * 20; ++i) {
    const float x = along(rng);
    const float y = across(rng);
    points.push_back({x + noise(rng), y + noise(rng), 4.0f * std::sin(x / 40.0f) + noise(rng)});
    if (i % 3000 == 17) points.push_back({std::nanf(""), 1.0f, 2.0f});
  }
  std::uniform_real_distribution<float> sparse(0.0f, 30.0f);
  for (int i = 0; i < 100; ++i) points.push_back({660.0f + sparse(rng), sparse(rng) - 3.0f, noise(rng)});
  return points;
}

inline bool same_bits(const std::vector<Point>& a, const std::vector<Point>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Point)) == 0);
}

}  // namespace vandrel::testing
