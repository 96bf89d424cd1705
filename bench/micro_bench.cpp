// Per-call timings of the per-point building blocks: the local frame (scatter matrix and
// symmetric eigen-decomposition), the plane fit, the quadrant boxes and the 3 x 3 solve, cycling through fixed-seed inputs.
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

// A plane fit grown to n points and solved.
void BM_plane_fit(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<float> v = random_values(3 * n * variants, 10.0f, 6);
  std::size_t k = 0;
  for (auto _ : state) {
    const float* p = &v[3 * n * (k++ % variants)];
    PlaneFit fit;
    for (std::size_t i = 0; i < n; ++i) fit.add(p[3 * i], p[3 * i + 1], p[3 * i + 2]);
    benchmark::DoNotOptimize(fit.solve());
  }
}
BENCHMARK(BM_plane_fit)->Arg(10)->Arg(50)->Arg(150);

void BM_solve_3x3(benchmark::State& state) {
  const std::vector<float> v = random_values(12 * variants, 10.0f, 4);
  std::size_t k = 0;
  for (auto _ : state) {
    const float* a = &v[12 * (k++ % variants)];
    benchmark::DoNotOptimize(solve_3x3({a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]}, {a[9], a[10], a[11]}));
  }
}
BENCHMARK(BM_solve_3x3);

// Sorting 1000 neighbours into the boxes of their quadrants and scales.
void BM_smallest_box(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<float> local = random_values(3 * n, 20.0f, 5);
  const QuadrantBoxes boxes = quadrant_boxes(3.0f, 16.0f);
  for (auto _ : state) {
    int sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const QuadrantBoxes::Entry e = boxes.smallest_box({local[3 * i], local[3 * i + 1], local[3 * i + 2]});
      sum += e.quadrant + e.scale;
    }
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_smallest_box)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
