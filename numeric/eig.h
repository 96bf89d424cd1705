#pragma once
#include <cstdint>

#include "runtime/rtwtypes.h"

namespace vandrel {

/// Eigen-decomposition A V = V diag(D) of a real single-precision square matrix.
///   A_data  in   n x n, column-major, n <= 3
///   A_size  in   {n, n}
///   V_data  out  n x n complex, column-major: column k is the eigenvector of D[k]
///   V_size  out  {n, n}
///   D_data  out  n complex eigenvalues
///   D_size  out  n
/// A matrix whose two triangles are bit-identical takes the real route: Hessenberg
/// reduction and real Schur factorisation (LAPACK sgehrd, sorghr, shseqr); V is the
/// orthogonal Schur vector matrix and D the diagonal of the Schur factor, in the order
/// the factorisation leaves them (imaginary parts 0). Any other matrix goes to the
/// complex general eigensolver (LAPACK cgeev) and gets its eigenvalues and right
/// eigenvectors as that solver delivers them. Neither route sorts or normalises.
/// An Inf or NaN entry in A makes every entry of V and D NaN (imaginary parts 0); so do
/// LAPACK argument errors. Reports nothing. Reentrant: fixed local storage only (the
/// LAPACKE drivers allocate their own workspace); LAPACK must be thread-safe.
void eig(const float A_data[], const std::int32_t A_size[2], creal32_T V_data[], std::int32_t V_size[2],
         creal32_T D_data[], std::int32_t* D_size);

}  // namespace vandrel
