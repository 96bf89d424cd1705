#include "core/plane_fit.h"

#include <cmath>

#include "numeric/solve.h"

namespace vandrel {

PlaneFit::Plane PlaneFit::solve() const {
  const Matrix3 normal_matrix = {uu_, uv_, u_, uv_, vv_, v_, u_, v_, count_};
  const std::array<float, 3> c = solve_3x3(normal_matrix, {uw_, vw_, w_});
  // The kernel is the plane at the point itself, (0, 0, 1) M^-1 [u v 1]', as weights on
  // the w values.
  const std::array<float, 3> z = solve_3x3(normal_matrix, {0.0f, 0.0f, 1.0f});
  return {c[2], {-c[0], -c[1], 1.0f}, z};
}

bool PlaneFit::kernel_has_nan(const std::array<float, 3>& z) {
  // The point itself, at u = v = 0, weighs (0 z0 + 0 z1) + z2: NaN once z0 or z1 is not
  // finite or z2 is NaN; with those finite, every weight is a number.
  return !std::isfinite(z[0]) || !std::isfinite(z[1]) || std::isnan(z[2]);
}

}  // namespace vandrel
