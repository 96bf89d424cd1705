#include "core/plane_fit.h"

#include "numeric/solve.h"

namespace vandrel {

PlaneFit fit_plane(std::span<const float> centred, std::int32_t n, std::span<float> kernel) {
  const auto count = static_cast<std::size_t>(n);
  const float* u = centred.data();
  const float* v = u + count;
  const float* w = v + count;

  // Normal equations M c = A'w of the design matrix A = [u v 1].
  float uu = 0.0f, uv = 0.0f, us = 0.0f, vv = 0.0f, vs = 0.0f;
  float uw = 0.0f, vw = 0.0f, ws = 0.0f;
  for (std::size_t k = 0; k < count; ++k) {
    uu += u[k] * u[k];
    uv += u[k] * v[k];
    us += u[k];
    vv += v[k] * v[k];
    vs += v[k];
    uw += u[k] * w[k];
    vw += v[k] * w[k];
    ws += w[k];
  }
  const Matrix3 normal_matrix = {uu, uv, us, uv, vv, vs, us, vs, static_cast<float>(n)};

  // The kernel is the fitted plane at the point itself, (0, 0, 1) M^-1 A', as weights on
  // the w values: with z = M^-1 (0, 0, 1)', point k weighs u_k z0 + v_k z1 + z2.
  const std::array<float, 3> z = solve_3x3(normal_matrix, {0.0f, 0.0f, 1.0f});
  for (std::size_t k = 0; k < count; ++k) kernel[k] = (u[k] * z[0] + v[k] * z[1]) + z[2];
  const std::array<float, 3> c = solve_3x3(normal_matrix, {uw, vw, ws});
  return {c[2], {-c[0], -c[1], 1.0f}};
}

}  // namespace vandrel
