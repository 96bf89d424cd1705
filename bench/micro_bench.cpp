// Per-call timings of the per-point building blocks: the local frame (scatter matrix and
// symmetric eigen-decomposition), the plane fit, the quadrant box search and the 3 x 3
// solve, cycling through fixed-seed inputs.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "core/local_frame.h"
#include "core/plane_fit.h"
#include "core/quadrant_box.h"
#include "numeric/solve.h"
#include "numeric/symmetric_eigen.h"

namespace {

using namespace vandrel;

constexpr std::size_t variants = 64;  // inputs cycled through so that no single case is cached

std::vector<float> random_values(std::size_t count, float spread, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-spread, spread);
  std::vector<float> v(count);
  for (float& x : v) x = d(rng);
  return v;
}

// Neighbourhoods of 50 points near a plane, as the filter's frames see them.
std::vector<std::array<Point, frame_neighbours>> neighbourhoods() {
  const std::vector<float> v = random_values(150 * variants, 10.0f, 2);
  std::vector<std::array<Point, frame_neighbours>> out(variants);
  for (std::size_t i = 0; i < variants; ++i) {
    for (std::size_t r = 0; r < 50; ++r) {
      const float* p = &v[150 * i + 3 * r];
      out[i][r] = {p[0], p[1], 0.1f * p[2]};
    }
  }
  return out;
}

void BM_local_frame(benchmark::State& state) {
  const auto clouds = neighbourhoods();
  std::size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(local_frame(clouds[k++ % variants]));
  }
}
BENCHMARK(BM_local_frame);

void BM_symmetric_eigen_3x3(benchmark::State& state) {
  const std::vector<float> v = random_values(9 * variants, 10.0f, 3);
  std::size_t k = 0;
  for (auto _ : state) {
    const float* a = &v[9 * (k++ % variants)];
    benchmark::DoNotOptimize(symmetric_eigen_3x3({a[0], a[3], a[6], a[3], a[4], a[7], a[6], a[7], a[8]}));
  }
}
BENCHMARK(BM_symmetric_eigen_3x3);

// The plane fit of n points (centred on the first), kernel included.
void BM_fit_plane(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<std::vector<float>> sets(variants);
  for (std::size_t i = 0; i < variants; ++i) {
    sets[i] = random_values(3 * n, 10.0f, static_cast<unsigned>(10 + i));
    sets[i][0] = sets[i][n] = sets[i][2 * n] = 0.0f;
  }
  std::vector<float> kernel(n);
  std::size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fit_plane(sets[k++ % variants], static_cast<std::int32_t>(n), kernel));
  }
}
BENCHMARK(BM_fit_plane)->Arg(10)->Arg(50)->Arg(150);

void BM_solve_3x3(benchmark::State& state) {
  const std::vector<float> v = random_values(12 * variants, 10.0f, 4);
  std::size_t k = 0;
  for (auto _ : state) {
    const float* a = &v[12 * (k++ % variants)];
    benchmark::DoNotOptimize(solve_3x3({a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]}, {a[9], a[10], a[11]}));
  }
}
BENCHMARK(BM_solve_3x3);

void BM_select_in_quadrant_box(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  const std::vector<float> local = random_values(3 * static_cast<std::size_t>(n), 20.0f, 5);
  std::vector<std::int32_t> selected;
  int quadrant = 0;
  for (auto _ : state) {
    select_in_quadrant_box({0.0f, 0.0f, 0.0f}, local, n, 12.0f, 12.0f, quadrant++ % 4 + 1, selected);
    benchmark::DoNotOptimize(selected.data());
  }
}
BENCHMARK(BM_select_in_quadrant_box)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
