#include "core/plane_fit.h"

#include "numeric/products.h"
#include "numeric/solve.h"

namespace vandrel {

PlaneFit fit_plane(std::span<const float> centred, std::int32_t n, std::span<float> kernel, PlaneFitScratch& scratch) {
  const auto count = static_cast<std::size_t>(n);
  const std::span<const float> w = centred.subspan(2 * count, count);
  scratch.design.resize(3 * count);
  scratch.transposed.resize(3 * count);
  scratch.solution.resize(3 * count);
  for (std::size_t i = 0; i < count; ++i) {
    scratch.design[i] = centred[i];
    scratch.design[i + count] = centred[i + count];
    scratch.design[i + 2 * count] = 1.0f;
  }
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = 0; j < 3; ++j) scratch.transposed[j + 3 * i] = scratch.design[i + count * j];
  }
  // The columns of (A'A) \ A' are each point's share of the three coefficients; the
  // kernel is the first row of A times them: the plane evaluated at the point itself.
  const Matrix3 normal_matrix = gram(scratch.design, n);
  solve_3x3_columns(normal_matrix, scratch.transposed, n, scratch.solution);
  const std::array<float, 3> first_row = {scratch.design[0], scratch.design[count], scratch.design[2 * count]};
  combine_rows(first_row, scratch.solution, n, kernel);
  const float height = dot(kernel.first(count), w);
  const std::array<float, 3> c = combine_columns(scratch.solution, n, w);
  return {height, {-c[0], -c[1], 1.0f}};
}

}  // namespace vandrel
