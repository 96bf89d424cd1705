#pragma once
#include <array>

#include "vandrel/point.h"

namespace vandrel {

/// A least-squares plane w = c0 u + c1 v + c2 through points in local coordinates centred
/// on the estimated point, grown one point at a time: the normal equations of the design
/// [u v 1] are summed in the order the points are added.
class PlaneFit {
 public:
  void add(float u, float v, float w) {
    uu_ += u * u;
    uv_ += u * v;
    u_ += u;
    vv_ += v * v;
    v_ += v;
    count_ += 1.0f;
    uw_ += u * w;
    vw_ += v * w;
    w_ += w;
  }
  /// Points added so far.
  float count() const { return count_; }

  struct Plane {
    float height;                 // c2: the fitted w at the point itself
    Point normal;                 // (-c0, -c1, 1), not normalised
    std::array<float, 3> kernel;  // z: point (u, v) weighs (u z0 + v z1) + z2 in `height`
  };
  /// The plane through the points added so far (at least 3 make sense), by solve_3x3.
  /// A singular or degenerate set (points on a line) gives huge, infinite or NaN entries.
  Plane solve() const;

  /// Whether a kernel has NaN weights, as a singular fit gives.
  static bool kernel_has_nan(const std::array<float, 3>& kernel);

 private:
  float uu_ = 0.0f, uv_ = 0.0f, u_ = 0.0f, vv_ = 0.0f, v_ = 0.0f, count_ = 0.0f;
  float uw_ = 0.0f, vw_ = 0.0f, w_ = 0.0f;
};

}  // namespace vandrel
