#pragma once
#include <array>
#include <cstdint>
#include <span>

#include "vandrel/point.h"
#include "numeric/products.h"

namespace vandrel {

/// The local coordinate frame of a point: the principal axes of its neighbourhood.
struct Frame {
  Matrix3 axes;  // unit columns u, v, w by decreasing spread; w, the least, is the normal
};

/// The number of nearest neighbours a frame is built from.
inline constexpr std::int32_t frame_neighbours = 50;

/// Frame of a neighbourhood of exactly `frame_neighbours` points (the point itself among
/// them): the eigenvectors of the scatter matrix of the points about their mean, by
/// decreasing eigenvalue magnitude, right-handed, with the deterministic signs of
/// symmetric_eigen_3x3. NaN axes when a coordinate is not finite. Thread-safe.
Frame local_frame(std::span<const Point, frame_neighbours> neighbourhood);

/// Local coordinates (u, v, w) of a vector: its components along the axes.
inline Point to_local(const Frame& frame, const Point& p) {
  const Matrix3& a = frame.axes;
  return {(p[0] * a[0] + p[1] * a[1]) + p[2] * a[2], (p[0] * a[3] + p[1] * a[4]) + p[2] * a[5],
          (p[0] * a[6] + p[1] * a[7]) + p[2] * a[8]};
}

}  // namespace vandrel
