#include "source_code_withOctree/local_coordinate_for_ICI.h"

#include "numeric/blas.h"
#include "numeric/eig.h"
#include "numeric/sort.h"

namespace vandrel {
namespace {

// The frame is always built from exactly this many nearest neighbours.
constexpr std::int32_t neighbour_count = 50;

}  // namespace

void local_coordinate_for_ICI(const float X_data[150], const std::int32_t X_size[2], float V_data[9],
                              std::int32_t V_size[2], double order_data[3], std::int32_t* order_size) {
  const std::int32_t cols = X_size[1];

  float centred[neighbour_count * 3];
  for (std::int32_t c = 0; c < cols; ++c) {
    const float* column = X_data + neighbour_count * c;
    float s = column[0];
    for (std::int32_t r = 1; r < neighbour_count; ++r) s += column[r];
    const float column_mean = s / static_cast<float>(neighbour_count);
    for (std::int32_t r = 0; r < neighbour_count; ++r) centred[r + neighbour_count * c] = column[r] - column_mean;
  }

  // Unnormalised scatter matrix Xc' Xc: scaling by 1/50 would change neither the
  // eigenvectors nor the order of the eigenvalues.
  float scatter[9];
  const char trans = 'T';
  const char no_trans = 'N';
  const float one = 1.0f;
  const float zero = 0.0f;
  const blas_int dim = cols;
  const blas_int rows = neighbour_count;
  sgemm_(&trans, &no_trans, &dim, &dim, &rows, &one, centred, &rows, centred, &rows, &zero, scatter, &dim);

  const std::int32_t scatter_size[2] = {cols, cols};
  creal32_T vectors[9];
  std::int32_t vectors_size[2];
  creal32_T values[3];
  std::int32_t value_count;
  eig(scatter, scatter_size, vectors, vectors_size, values, &value_count);

  V_size[0] = vectors_size[0];
  V_size[1] = vectors_size[1];
  for (std::int32_t k = 0; k < vectors_size[0] * vectors_size[1]; ++k) V_data[k] = vectors[k].re;

  // Descending by magnitude, so the last axis (smallest spread) is the local normal.
  std::int32_t idx[3];
  sort(values, value_count, idx);
  for (std::int32_t k = 0; k < value_count; ++k) order_data[k] = static_cast<double>(idx[k]);
  *order_size = value_count;
}

}  // namespace vandrel
