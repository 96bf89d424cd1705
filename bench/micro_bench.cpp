// Per-call timings of the local frame, the plane kernel, the quadrant box search and the
// 3 x 3 solver, with the BLAS and LAPACK pieces they are made of timed on their own and
// against plain loops, to show what the library call overhead costs on 3 x 3 problems.
// Run with OPENBLAS_NUM_THREADS=1.
#include <benchmark/benchmark.h>

#include <lapacke.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "host/native_host.h"
#include "numeric/b_mldivide.h"
#include "numeric/blas.h"
#include "numeric/eig.h"
#include "numeric/mldivide.h"
#include "numeric/sort.h"
#include "numeric/symmetric_eigen.h"
#include "runtime/Vandrel_emxutil.h"
#include "source_code_withOctree/FindIndexSquare_c.h"
#include "source_code_withOctree/local_coordinate_for_ICI.h"
#include "source_code_withOctree/polynom_kernel_ICI_octant_single_est_order1.h"

namespace {

using namespace vandrel;

constexpr int variants = 64;  // inputs cycled through so that no single case is cached

std::vector<float> random_values(std::size_t count, float spread, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-spread, spread);
  std::vector<float> v(count);
  for (float& x : v) x = d(rng);
  return v;
}

// Symmetric positive-definite scatter matrices of random neighbourhoods.
std::vector<float> scatter_matrices() {
  const std::vector<float> clouds = random_values(150 * variants, 10.0f, 1);
  std::vector<float> out(9 * variants);
  for (int i = 0; i < variants; ++i) {
    const float* X = &clouds[150 * static_cast<std::size_t>(i)];
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) {
        float s = 0.0f;
        for (int r = 0; r < 50; ++r) s += X[r + 50 * a] * X[r + 50 * b];
        out[9 * static_cast<std::size_t>(i) + static_cast<std::size_t>(a + 3 * b)] = s;
      }
    }
  }
  return out;
}

void BM_local_coordinate_for_ICI(benchmark::State& state) {
  const std::vector<float> clouds = random_values(150 * variants, 10.0f, 2);
  const std::int32_t X_size[2] = {50, 3};
  float V[9];
  std::int32_t V_size[2];
  double order[3];
  std::int32_t order_size;
  int i = 0;
  for (auto _ : state) {
    local_coordinate_for_ICI(&clouds[150 * static_cast<std::size_t>(i)], X_size, V, V_size, order, &order_size);
    benchmark::DoNotOptimize(V);
    i = (i + 1) % variants;
  }
}
BENCHMARK(BM_local_coordinate_for_ICI);

// The pieces of the local frame.
void BM_scatter_sgemm_3x3x50(benchmark::State& state) {
  const std::vector<float> clouds = random_values(150 * variants, 10.0f, 3);
  const char t = 'T', n = 'N';
  const float one = 1.0f, zero = 0.0f;
  const blas_int three = 3, rows = 50;
  float C[9];
  int i = 0;
  for (auto _ : state) {
    sgemm_(&t, &n, &three, &three, &rows, &one, &clouds[150 * static_cast<std::size_t>(i)], &rows,
           &clouds[150 * static_cast<std::size_t>(i)], &rows, &zero, C, &three);
    benchmark::DoNotOptimize(C);
    i = (i + 1) % variants;
  }
}
BENCHMARK(BM_scatter_sgemm_3x3x50);

void BM_scatter_loops_3x3x50(benchmark::State& state) {
  const std::vector<float> clouds = random_values(150 * variants, 10.0f, 3);
  float C[9];
  int i = 0;
  for (auto _ : state) {
    const float* X = &clouds[150 * static_cast<std::size_t>(i)];
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) {
        float s = 0.0f;
        for (int r = 0; r < 50; ++r) s += X[r + 50 * a] * X[r + 50 * b];
        C[a + 3 * b] = s;
      }
    }
    benchmark::DoNotOptimize(C);
    i = (i + 1) % variants;
  }
}
BENCHMARK(BM_scatter_loops_3x3x50);

void BM_eig_symmetric_3x3(benchmark::State& state) {
  const std::vector<float> matrices = scatter_matrices();
  const std::int32_t size[2] = {3, 3};
  creal32_T V[9], D[3];
  std::int32_t V_size[2], D_size;
  int i = 0;
  for (auto _ : state) {
    eig(&matrices[9 * static_cast<std::size_t>(i)], size, V, V_size, D, &D_size);
    benchmark::DoNotOptimize(V);
    i = (i + 1) % variants;
  }
}
BENCHMARK(BM_eig_symmetric_3x3);

// The same matrices through the fixed-size Jacobi kernel that replaces the LAPACK route.
void BM_symmetric_eigen_3x3(benchmark::State& state) {
  const std::vector<float> matrices = scatter_matrices();
  std::vector<std::array<float, 9>> inputs(variants);
  for (int i = 0; i < variants; ++i) {
    for (int k = 0; k < 9; ++k) {
      inputs[static_cast<std::size_t>(i)][static_cast<std::size_t>(k)] =
          matrices[9 * static_cast<std::size_t>(i) + static_cast<std::size_t>(k)];
    }
  }
  int i = 0;
  for (auto _ : state) {
    SymmetricEigen e = symmetric_eigen_3x3(inputs[static_cast<std::size_t>(i)]);
    benchmark::DoNotOptimize(e);
    i = (i + 1) % variants;
  }
}
BENCHMARK(BM_symmetric_eigen_3x3);

void BM_eig_nonsymmetric_3x3(benchmark::State& state) {
  std::vector<float> matrices = scatter_matrices();
  for (int i = 0; i < variants; ++i) matrices[9 * static_cast<std::size_t>(i) + 1] *= 1.0000001f;
  const std::int32_t size[2] = {3, 3};
  creal32_T V[9], D[3];
  std::int32_t V_size[2], D_size;
  int i = 0;
  for (auto _ : state) {
    eig(&matrices[9 * static_cast<std::size_t>(i)], size, V, V_size, D, &D_size);
    benchmark::DoNotOptimize(V);
    i = (i + 1) % variants;
  }
}
BENCHMARK(BM_eig_nonsymmetric_3x3);

void BM_sort_3(benchmark::State& state) {
  const std::vector<float> values = random_values(3 * variants, 100.0f, 4);
  int i = 0;
  for (auto _ : state) {
    creal32_T x[3];
    for (int k = 0; k < 3; ++k) x[k] = {values[3 * static_cast<std::size_t>(i) + static_cast<std::size_t>(k)], 0.0f};
    std::int32_t idx[3];
    sort(x, 3, idx);
    benchmark::DoNotOptimize(idx);
    i = (i + 1) % variants;
  }
}
BENCHMARK(BM_sort_3);

// The plane kernel at neighbourhood size n, row 1 at the origin.
void BM_plane_kernel(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  NativeHost host;
  Context ctx(host);
  std::vector<emxArray_real32_T*> P(variants, nullptr);
  for (int i = 0; i < variants; ++i) {
    emxInit_real32_T(ctx, &P[static_cast<std::size_t>(i)], 2, false);
    emxArray_real32_T* p = P[static_cast<std::size_t>(i)];
    p->size[0] = n;
    p->size[1] = 3;
    emxEnsureCapacity_real32_T(ctx, p, 0);
    const std::vector<float> values = random_values(3 * static_cast<std::size_t>(n), 6.0f, 10u + static_cast<unsigned>(i));
    for (std::int32_t k = 0; k < 3 * n; ++k) p->data[k] = k % n == 0 ? 0.0f : values[static_cast<std::size_t>(k)];
  }
  emxArray_real32_T* g = nullptr;
  emxInit_real32_T(ctx, &g, 2, false);
  float estimate;
  float normal[3];
  int i = 0;
  for (auto _ : state) {
    polynom_kernel_ICI_octant_single_est_order1(ctx, P[static_cast<std::size_t>(i)], &estimate, g, normal);
    benchmark::DoNotOptimize(estimate);
    i = (i + 1) % variants;
  }
  emxFree_real32_T(ctx, &g);
  for (emxArray_real32_T*& p : P) emxFree_real32_T(ctx, &p);
}
BENCHMARK(BM_plane_kernel)->Arg(10)->Arg(50)->Arg(150);

// The kernel's solve on its own: M \ A' with n right-hand sides (LAPACK sgetrf, two strsm).
void BM_mldivide_3x3(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  NativeHost host;
  Context ctx(host);
  const std::vector<float> matrices = scatter_matrices();
  emxArray_real32_T* B = nullptr;
  emxArray_real32_T* X = nullptr;
  emxInit_real32_T(ctx, &B, 2, false);
  emxInit_real32_T(ctx, &X, 2, false);
  B->size[0] = 3;
  B->size[1] = n;
  emxEnsureCapacity_real32_T(ctx, B, 0);
  const std::vector<float> values = random_values(3 * static_cast<std::size_t>(n), 6.0f, 5);
  for (std::int32_t k = 0; k < 3 * n; ++k) B->data[k] = values[static_cast<std::size_t>(k)];
  const std::int32_t A_size[2] = {3, 3};
  int i = 0;
  for (auto _ : state) {
    mldivide(ctx, &matrices[9 * static_cast<std::size_t>(i)], A_size, B, X);
    benchmark::DoNotOptimize(X->data);
    i = (i + 1) % variants;
  }
  emxFree_real32_T(ctx, &X);
  emxFree_real32_T(ctx, &B);
}
BENCHMARK(BM_mldivide_3x3)->Arg(10)->Arg(50)->Arg(150);

// The same solve column by column with the unrolled elimination, for comparison.
void BM_b_mldivide_columns(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  const std::vector<float> matrices = scatter_matrices();
  const std::vector<float> B = random_values(3 * static_cast<std::size_t>(n), 6.0f, 5);
  std::vector<float> X(B.size());
  int i = 0;
  for (auto _ : state) {
    for (std::int32_t j = 0; j < n; ++j) {
      b_mldivide(&matrices[9 * static_cast<std::size_t>(i)], &B[3 * static_cast<std::size_t>(j)],
                 &X[3 * static_cast<std::size_t>(j)]);
    }
    benchmark::DoNotOptimize(X.data());
    i = (i + 1) % variants;
  }
}
BENCHMARK(BM_b_mldivide_columns)->Arg(10)->Arg(50)->Arg(150);

// The LU factorisation alone, and a 1 x 3 by 3 x 3 product by sgemm and by loops.
void BM_sgetrf_3x3(benchmark::State& state) {
  const std::vector<float> matrices = scatter_matrices();
  float LU[9];
  lapack_int ipiv[3];
  int i = 0;
  for (auto _ : state) {
    for (int k = 0; k < 9; ++k) LU[k] = matrices[9 * static_cast<std::size_t>(i) + static_cast<std::size_t>(k)];
    LAPACKE_sgetrf_work(LAPACK_COL_MAJOR, 3, 3, LU, 3, ipiv);
    benchmark::DoNotOptimize(LU);
    i = (i + 1) % variants;
  }
}
BENCHMARK(BM_sgetrf_3x3);

void BM_sgemm_1x3_by_3x3(benchmark::State& state) {
  const std::vector<float> matrices = scatter_matrices();
  const float a[3] = {0.25f, -1.5f, 2.0f};
  const char n = 'N';
  const float one = 1.0f, zero = 0.0f;
  const blas_int single = 1, three = 3;
  float c[3];
  int i = 0;
  for (auto _ : state) {
    sgemm_(&n, &n, &single, &three, &three, &one, a, &single, &matrices[9 * static_cast<std::size_t>(i)], &three,
           &zero, c, &single);
    benchmark::DoNotOptimize(c);
    i = (i + 1) % variants;
  }
}
BENCHMARK(BM_sgemm_1x3_by_3x3);

void BM_loops_1x3_by_3x3(benchmark::State& state) {
  const std::vector<float> matrices = scatter_matrices();
  const float a[3] = {0.25f, -1.5f, 2.0f};
  float c[3];
  int i = 0;
  for (auto _ : state) {
    const float* B = &matrices[9 * static_cast<std::size_t>(i)];
    for (int j = 0; j < 3; ++j) c[j] = (a[0] * B[3 * j] + a[1] * B[1 + 3 * j]) + a[2] * B[2 + 3 * j];
    benchmark::DoNotOptimize(c);
    i = (i + 1) % variants;
  }
}
BENCHMARK(BM_loops_1x3_by_3x3);

void BM_b_mldivide(benchmark::State& state) {
  const std::vector<float> matrices = scatter_matrices();
  const std::vector<float> rhs = random_values(3 * variants, 6.0f, 6);
  float Y[3];
  int i = 0;
  for (auto _ : state) {
    b_mldivide(&matrices[9 * static_cast<std::size_t>(i)], &rhs[3 * static_cast<std::size_t>(i)], Y);
    benchmark::DoNotOptimize(Y);
    i = (i + 1) % variants;
  }
}
BENCHMARK(BM_b_mldivide);

void BM_FindIndexSquare(benchmark::State& state) {
  const auto K = static_cast<std::int32_t>(state.range(0));
  // Points spread over a box about twice the query square, so about a quarter pass u.
  const std::vector<float> points = random_values(3 * static_cast<std::size_t>(K), 12.0f, 7);
  const float bounds[6] = {0.0f, 0.0f, -6.0f, 12.0f, 12.0f, 6.0f};
  std::vector<std::int32_t> buffer(static_cast<std::size_t>(K));
  std::int32_t count = 0;
  for (auto _ : state) {
    FindIndexSquare(points.data(), K, bounds, buffer.data(), &count);
    benchmark::DoNotOptimize(count);
  }
  state.counters["selected"] = static_cast<double>(count);
}
BENCHMARK(BM_FindIndexSquare)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
