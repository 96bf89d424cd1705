#pragma once
#include <array>
#include <span>

#include "core/point.h"
#include "numeric/products.h"

namespace vandrel {

/// The local coordinate frame of a point: principal axes of its neighbourhood.
struct Frame {
  Matrix3 axes;              // eigenvectors of the scatter matrix, as columns (in solver order)
  std::array<int, 3> order;  // columns of `axes` for u, v, w: decreasing eigenvalue magnitude; w is the normal
};

/// The number of nearest neighbours a frame is built from.
inline constexpr std::int32_t frame_neighbours = 50;

/// Frame of a neighbourhood of exactly `frame_neighbours` points (the point itself
/// among them): eigenvectors of the unnormalised scatter matrix of the points about their
/// mean. NaN axes when the scatter matrix is not finite. Thread-safe.
Frame local_frame(std::span<const Point, frame_neighbours> neighbourhood);

/// Local coordinates (u, v, w) of n points, uncentred: `points` and `local` are n x 3,
/// column-major; `projected` is scratch of the same size. Thread-safe.
void to_local(const Frame& frame, std::span<const float> points, std::int32_t n, std::span<float> projected,
              std::span<float> local);

/// A vector given in local coordinates (u, v, w), in the cloud's axes.
Point to_world(const Frame& frame, const Point& local);

}  // namespace vandrel
