#include "core/local_frame.h"

#include "numeric/eigen.h"

namespace vandrel {

Frame local_frame(std::span<const Point, frame_neighbours> neighbourhood) {
  constexpr std::int32_t n = frame_neighbours;
  std::array<float, 3 * n> centred;
  for (int c = 0; c < 3; ++c) {
    float sum = neighbourhood[0][c];
    for (std::int32_t r = 1; r < n; ++r) sum += neighbourhood[static_cast<std::size_t>(r)][c];
    const float mean = sum / static_cast<float>(n);
    for (std::int32_t r = 0; r < n; ++r) {
      centred[static_cast<std::size_t>(r + n * c)] = neighbourhood[static_cast<std::size_t>(r)][c] - mean;
    }
  }
  // The unnormalised scatter matrix: dividing by n would change neither the eigenvectors
  // nor the order of the eigenvalues.
  const EigenDecomposition eigen = eigen_3x3(gram(centred, n));
  return {eigen.vectors, order_by_decreasing_magnitude(eigen.values)};
}

void to_local(const Frame& frame, std::span<const float> points, std::int32_t n, std::span<float> projected,
              std::span<float> local) {
  multiply(points, n, frame.axes, projected);
  for (int c = 0; c < 3; ++c) {
    const std::size_t from = static_cast<std::size_t>(n) * static_cast<std::size_t>(frame.order[static_cast<std::size_t>(c)]);
    const std::size_t to = static_cast<std::size_t>(n) * static_cast<std::size_t>(c);
    for (std::size_t k = 0; k < static_cast<std::size_t>(n); ++k) local[to + k] = projected[from + k];
  }
}

Point to_world(const Frame& frame, const Point& local) {
  std::array<float, 3> in_solver_order{};
  for (std::size_t c = 0; c < 3; ++c) in_solver_order[static_cast<std::size_t>(frame.order[c])] = local[c];
  return multiply_as_row(frame.axes, in_solver_order);
}

}  // namespace vandrel
