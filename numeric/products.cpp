#include "numeric/products.h"

#include <algorithm>
#include <limits>

namespace vandrel {
namespace {

constexpr std::size_t mean_block = 1024;

float sum_left_to_right(std::span<const float> x) {
  float s = x[0];
  for (std::size_t k = 1; k < x.size(); ++k) s += x[k];
  return s;
}

}  // namespace

std::array<float, 3> multiply(const Matrix3& m, const std::array<float, 3>& x) {
  std::array<float, 3> y;
  for (std::size_t r = 0; r < 3; ++r) y[r] = (m[r] * x[0] + m[r + 3] * x[1]) + m[r + 6] * x[2];
  return y;
}

float dot(std::span<const float> x, std::span<const float> y) {
  float s = 0.0f;
  for (std::size_t k = 0; k < x.size(); ++k) s += x[k] * y[k];
  return s;
}

float mean(std::span<const float> x) {
  if (x.empty()) return std::numeric_limits<float>::quiet_NaN();
  float total = sum_left_to_right(x.first(std::min(x.size(), mean_block)));
  for (std::size_t begin = mean_block; begin < x.size(); begin += mean_block) {
    total += sum_left_to_right(x.subspan(begin, std::min(mean_block, x.size() - begin)));
  }
  return total / static_cast<float>(x.size());
}

}  // namespace vandrel
