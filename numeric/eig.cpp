#include "numeric/eig.h"

#include <complex>

// LAPACK's complex single as std::complex<float>, layout-compatible with the Fortran
// type, instead of the C99 _Complex that C++ lacks.
#define lapack_complex_float std::complex<float>
#define lapack_complex_double std::complex<double>
#include <lapacke.h>

#include "runtime/rt_math.h"
#include "runtime/rt_nonfinite.h"

namespace vandrel {
namespace {

void fill_nan(std::int32_t n, creal32_T V_data[], creal32_T D_data[]) {
  for (std::int32_t k = 0; k < n * n; ++k) V_data[k] = {rtNaNF, 0.0f};
  for (std::int32_t k = 0; k < n; ++k) D_data[k] = {rtNaNF, 0.0f};
}

bool is_bit_symmetric(const float A[], std::int32_t n) {
  for (std::int32_t j = 0; j < n; ++j) {
    for (std::int32_t i = 0; i < j; ++i) {
      if (!(A[i + n * j] == A[j + n * i])) return false;
    }
  }
  return true;
}

// Real Schur route: T = Z' A Z with Z orthogonal; for a symmetric A, T is diagonal up to
// rounding, so its diagonal holds the eigenvalues and Z the eigenvectors.
void schur_route(const float A[], std::int32_t n, creal32_T V_data[], creal32_T D_data[]) {
  float H[9];
  float Z[9];
  float tau[3];
  float wr[3];
  float wi[3];
  for (std::int32_t k = 0; k < n * n; ++k) H[k] = A[k];
  if (LAPACKE_sgehrd(LAPACK_COL_MAJOR, n, 1, n, H, n, tau) != 0) {
    for (std::int32_t k = 0; k < n * n; ++k) H[k] = rtNaNF;
    for (std::int32_t k = 0; k < n - 1; ++k) tau[k] = rtNaNF;
  }
  for (std::int32_t k = 0; k < n * n; ++k) Z[k] = H[k];
  if (LAPACKE_sorghr(LAPACK_COL_MAJOR, n, 1, n, Z, n, tau) != 0) {
    for (std::int32_t k = 0; k < n * n; ++k) Z[k] = rtNaNF;
  }
  // A positive status (no convergence) leaves usable partial factors and is not treated.
  if (LAPACKE_shseqr(LAPACK_COL_MAJOR, 'S', 'V', n, 1, n, H, n, wr, wi, Z, n) < 0) {
    for (std::int32_t k = 0; k < n * n; ++k) {
      H[k] = rtNaNF;
      Z[k] = rtNaNF;
    }
  }
  for (std::int32_t k = 0; k < n * n; ++k) V_data[k] = {Z[k], 0.0f};
  for (std::int32_t k = 0; k < n; ++k) D_data[k] = {H[k + n * k], 0.0f};
}

void complex_route(const float A[], std::int32_t n, creal32_T V_data[], creal32_T D_data[]) {
  lapack_complex_float Ac[9];
  lapack_complex_float w[3];
  lapack_complex_float vl[1];
  lapack_complex_float vr[9];
  for (std::int32_t k = 0; k < n * n; ++k) Ac[k] = std::complex<float>(A[k], 0.0f);
  if (LAPACKE_cgeev(LAPACK_COL_MAJOR, 'N', 'V', n, Ac, n, w, vl, 1, vr, n) < 0) {
    fill_nan(n, V_data, D_data);
    return;
  }
  for (std::int32_t k = 0; k < n * n; ++k) V_data[k] = {vr[k].real(), vr[k].imag()};
  for (std::int32_t k = 0; k < n; ++k) D_data[k] = {w[k].real(), w[k].imag()};
}

}  // namespace

void eig(const float A_data[], const std::int32_t A_size[2], creal32_T V_data[], std::int32_t V_size[2],
         creal32_T D_data[], std::int32_t* D_size) {
  const std::int32_t n = A_size[0];
  V_size[0] = n;
  V_size[1] = n;
  *D_size = n;
  if (n < 1) return;
  for (std::int32_t k = 0; k < n * n; ++k) {
    if (rt_isinf(A_data[k]) || rt_isnan(A_data[k])) {
      fill_nan(n, V_data, D_data);
      return;
    }
  }
  if (is_bit_symmetric(A_data, n)) {
    schur_route(A_data, n, V_data, D_data);
  } else {
    complex_route(A_data, n, V_data, D_data);
  }
}

}  // namespace vandrel
