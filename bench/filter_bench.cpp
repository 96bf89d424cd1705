// Filters (a) the bundled sample scan and (b) a synthetic 100000-point surface and
// prints the throughput of each pass, the time per stage, the thread count and the
// peak resident memory. A timing program, never part of the test run.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "host/native_host.h"
#include "runtime/Vandrel_emxutil.h"
#include "source_code_withOctree/Vandrel.h"

namespace {

using Clock = std::chrono::steady_clock;

// The stand-alone host, timing the stages the filter reports.
class TimingHost : public vandrel::NativeHost {
 public:
  explicit TimingHost(vandrel::NativeHostOptions options) : NativeHost(std::move(options)) {}
  void start() { last_ = Clock::now(); }
  void stage_done(const char* stage) override {
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - last_).count();
    totals[stage] += seconds;
    if (std::string(stage) == "noise update") pass_seconds.push_back(pass_running_ + seconds);
    const bool pass_ends = std::string(stage) == "noise update" || std::string(stage) == "radius search";
    pass_running_ = pass_ends ? 0.0 : pass_running_ + seconds;
    last_ = now;
  }
  std::map<std::string, double> totals;
  std::vector<double> pass_seconds;  // nearest-neighbour table to noise update, per pass

 private:
  Clock::time_point last_;
  double pass_running_ = 0.0;
};

std::vector<float> read_xyz(const std::string& path) {
  std::ifstream in(path);
  std::vector<float> rows;
  float v;
  while (in >> v) rows.push_back(v);
  const std::size_t n = rows.size() / 3;
  std::vector<float> xyz(rows.size());
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < 3; ++c) xyz[i + n * c] = rows[3 * i + c];
  }
  return xyz;
}

// A noisy sphere whose area equals its point count: spacing about 1, like a scan
// scaled by its density.
std::vector<float> synthetic_surface(std::int32_t n, float sigma) {
  std::mt19937 rng(1);
  std::normal_distribution<double> g(0.0, 1.0);
  std::normal_distribution<float> noise(0.0f, sigma);
  const double radius = std::sqrt(n / (4.0 * M_PI));
  std::vector<float> xyz(static_cast<std::size_t>(3 * n));
  for (std::int32_t i = 0; i < n; ++i) {
    double d[3] = {g(rng), g(rng), g(rng)};
    const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    for (int c = 0; c < 3; ++c) xyz[static_cast<std::size_t>(i + n * c)] = static_cast<float>(d[c] / length * radius) + noise(rng);
  }
  return xyz;
}

void run(const char* name, std::vector<float> xyz, float sigma, float density) {
  const auto n = static_cast<std::int32_t>(xyz.size() / 3);
  TimingHost host({0, [](std::string_view) {}});
  vandrel::Context ctx(host);
  vandrel::CleanupScope scope(ctx);
  emxArray_real32_T* in = nullptr;
  emxArray_real32_T* out = nullptr;
  vandrel::emxInit_real32_T(ctx, &in, 2, true);
  vandrel::emxInit_real32_T(ctx, &out, 2, true);
  in->data = xyz.data();
  in->size[0] = n;
  in->size[1] = 3;
  in->capacity = 3 * n;
  in->ownsData = false;
  const auto t0 = Clock::now();
  host.start();
  vandrel::Vandrel(ctx, in, sigma, density, out);
  const double total = std::chrono::duration<double>(Clock::now() - t0).count();
  vandrel::emxFree_real32_T(ctx, &out);
  vandrel::emxFree_real32_T(ctx, &in);

  int threads = 1;
#ifdef _OPENMP
  threads = omp_get_max_threads();
#endif
  std::printf("\n%s: %d points, %d threads, %.2f s in all\n", name, n, threads, total);
  for (std::size_t k = 0; k < host.pass_seconds.size(); ++k) {
    std::printf("  pass %zu: %.0f points/s (%.2f s)\n", k + 1, n / host.pass_seconds[k], host.pass_seconds[k]);
  }
  for (const char* stage : {"split", "radius search", "nearest neighbours", "estimates", "fusion", "solve",
                            "noise update", "merge"}) {
    const double s = host.totals[stage];
    std::printf("  %-20s %8.3f s  %5.1f %%\n", stage, s, 100.0 * s / total);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("  peak resident memory so far: %.0f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string data_dir = argc > 1 ? argv[1] : VANDREL_DATA_DIR;
  run("sample scan (bunny, sigma 0.005, density 22707)", read_xyz(data_dir + "/bunny_20k_noisy.xyz"), 0.005f,
      22707.0f);
  run("synthetic sphere (sigma 0.3, density 1)", synthetic_surface(100000, 0.3f), 0.3f, 1.0f);
  return 0;
}
