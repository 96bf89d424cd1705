#include "source_code_withOctree/polynom_kernel_ICI_octant_single_est_order1.h"

#include <cstdint>

#include "numeric/blas.h"
#include "numeric/mldivide.h"
#include "runtime/Vandrel_emxutil.h"

namespace vandrel {

void polynom_kernel_ICI_octant_single_est_order1(Context& ctx, const emxArray_real32_T* P, float* estimate,
                                                 emxArray_real32_T* g, float normal[3]) {
  CleanupScope scope(ctx);
  const std::int32_t n = P->size[0];
  const float* w = P->data + 2 * n;
  const char trans = 'T';
  const char no_trans = 'N';
  const float one = 1.0f;
  const float zero = 0.0f;

  // Design matrix A = [u v 1], n x 3.
  emxArray_real32_T* A = nullptr;
  emxInit_real32_T(ctx, &A, 2, true);
  A->size[0] = n;
  A->size[1] = 3;
  emxEnsureCapacity_real32_T(ctx, A, 0);
  for (std::int32_t i = 0; i < n; ++i) {
    A->data[i] = P->data[i];
    A->data[i + n] = P->data[i + n];
    A->data[i + 2 * n] = 1.0f;
  }

  // Normal matrix M = A' A.
  float M[9];
  if (n >= 2) {
    const blas_int three = 3;
    const blas_int rows = n;
    sgemm_(&trans, &no_trans, &three, &three, &rows, &one, A->data, &rows, A->data, &rows, &zero, M, &three);
  } else if (n == 1) {
    for (std::int32_t j = 0; j < 3; ++j) {
      for (std::int32_t i = 0; i < 3; ++i) M[i + 3 * j] = A->data[i] * A->data[j];
    }
  } else {
    for (float& entry : M) entry = 0.0f;
  }

  emxArray_real32_T* At = nullptr;
  emxInit_real32_T(ctx, &At, 2, true);
  At->size[0] = 3;
  At->size[1] = n;
  emxEnsureCapacity_real32_T(ctx, At, 0);
  for (std::int32_t i = 0; i < n; ++i) {
    for (std::int32_t j = 0; j < 3; ++j) At->data[j + 3 * i] = A->data[i + n * j];
  }

  // Phi = M \ A' (3 x n): column i is point i's share of the three plane coefficients.
  emxArray_real32_T* Phi = nullptr;
  emxInit_real32_T(ctx, &Phi, 2, true);
  const std::int32_t M_size[2] = {3, 3};
  mldivide(ctx, M, M_size, At, Phi);

  // The kernel is A(1,:) Phi: the plane evaluated at row 1, as weights on the w values.
  const std::int32_t old_count = emx_numel(g);
  g->size[0] = 1;
  g->size[1] = n;
  emxEnsureCapacity_real32_T(ctx, g, old_count);
  float c[3] = {0.0f, 0.0f, 0.0f};
  if (n >= 1) {
    const float row[3] = {A->data[0], A->data[n], A->data[2 * n]};
    const blas_int single = 1;
    const blas_int three = 3;
    const blas_int cols = n;
    sgemm_(&no_trans, &no_trans, &single, &cols, &three, &one, row, &single, Phi->data, &three, &zero, g->data,
           &single);
  }

  if (n >= 2) {
    const blas_int count = n;
    const blas_int stride = 1;
    *estimate = sdot_(&count, g->data, &stride, w, &stride);
    const blas_int three = 3;
    const blas_int single = 1;
    sgemm_(&no_trans, &no_trans, &three, &single, &count, &one, Phi->data, &three, w, &count, &zero, c, &three);
  } else if (n == 1) {
    *estimate = g->data[0] * w[0];
    for (std::int32_t j = 0; j < 3; ++j) c[j] = Phi->data[j] * w[0];
  } else {
    *estimate = 0.0f;
  }

  normal[0] = -c[0];
  normal[1] = -c[1];
  normal[2] = 1.0f;

  emxFree_real32_T(ctx, &Phi);
  emxFree_real32_T(ctx, &At);
  emxFree_real32_T(ctx, &A);
}

}  // namespace vandrel
