#pragma once
#include <cstdint>

namespace vandrel {

/// A point's local frame by principal component analysis of its 50 nearest neighbours.
///   X_data      in   50 x 3 singles, column-major: one neighbour per row (x, y, z)
///   X_size      in   {50, c}; c = 3 in every call (at most 3)
///   V_data      out  c x c singles, column-major: the eigenvectors of the unnormalised
///                    scatter matrix of the centred neighbours, real parts only, with the
///                    sign and length the eigensolver gives (no normalisation)
///   V_size      out  {c, c}
///   order_data  out  c doubles: the 1-based columns of V by decreasing eigenvalue
///                    magnitude; order_data[c - 1] names the normal axis
///   order_size  out  c
/// The scatter matrix goes the real Schur route of eig when its triangles are
/// bit-identical and the complex route otherwise; then V's columns need not have unit
/// length. An Inf or NaN coordinate makes V entirely NaN. Reports nothing.
/// Reentrant; fixed local storage only; BLAS and LAPACK must be thread-safe.
void local_coordinate_for_ICI(const float X_data[150], const std::int32_t X_size[2], float V_data[9],
                              std::int32_t V_size[2], double order_data[3], std::int32_t* order_size);

}  // namespace vandrel
