#include "core/local_frame.h"

#include "numeric/symmetric_eigen.h"

namespace vandrel {

Frame local_frame(std::span<const Point, frame_neighbours> neighbourhood) {
  constexpr std::size_t n = frame_neighbours;
  Point mean;
  for (std::size_t c = 0; c < 3; ++c) {
    float sum = neighbourhood[0][c];
    for (std::size_t r = 1; r < n; ++r) sum += neighbourhood[r][c];
    mean[c] = sum / static_cast<float>(n);
  }
  // The unnormalised scatter matrix, each entry summed in point order: dividing by n would
  // change neither the eigenvectors nor the order of the eigenvalues.
  Matrix3 scatter{};
  for (std::size_t r = 0; r < n; ++r) {
    const Point d = {neighbourhood[r][0] - mean[0], neighbourhood[r][1] - mean[1], neighbourhood[r][2] - mean[2]};
    for (std::size_t col = 0; col < 3; ++col) {
      for (std::size_t row = 0; row <= col; ++row) scatter[row + 3 * col] += d[row] * d[col];
    }
  }
  return {symmetric_eigen_3x3(scatter).vectors};
}

}  // namespace vandrel
