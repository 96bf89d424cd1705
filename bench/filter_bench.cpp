// Filters (a) the bundled sample scan and (b) a synthetic 100000-point surface and
// prints the throughput of each pass, the time per stage, the thread count and the
// peak resident memory. A timing program, never part of the test run.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "core/pipeline.h"
#include "host/native_host.h"

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
    const bool pass_ends = std::string(stage) == "noise update" || std::string(stage) == "split";
    pass_running_ = pass_ends ? 0.0 : pass_running_ + seconds;
    last_ = now;
  }
  std::map<std::string, double> totals;
  std::vector<double> pass_seconds;  // nearest-neighbour table to noise update, per pass

 private:
  Clock::time_point last_;
  double pass_running_ = 0.0;
};

std::vector<vandrel::Point> read_xyz(const std::string& path) {
  std::ifstream in(path);
  std::vector<vandrel::Point> points;
  vandrel::Point p;
  while (in >> p[0] >> p[1] >> p[2]) points.push_back(p);
  return points;
}

// A noisy sphere whose area equals its point count: spacing about 1, like a scan
// scaled by its density.
std::vector<vandrel::Point> synthetic_surface(std::int32_t n, float sigma) {
  std::mt19937 rng(1);
  std::normal_distribution<double> g(0.0, 1.0);
  std::normal_distribution<float> noise(0.0f, sigma);
  const double radius = std::sqrt(n / (4.0 * M_PI));
  std::vector<vandrel::Point> points(static_cast<std::size_t>(n));
  for (vandrel::Point& p : points) {
    double d[3] = {g(rng), g(rng), g(rng)};
    const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    for (std::size_t c = 0; c < 3; ++c) p[c] = static_cast<float>(d[c] / length * radius) + noise(rng);
  }
  return points;
}

// Resident memory now, in bytes.
double resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  double pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<double>(sysconf(_SC_PAGESIZE));
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void run(const char* name, const std::vector<vandrel::Point>& points, float sigma, float density) {
  const auto n = static_cast<std::int64_t>(points.size());
  TimingHost host({0, [](std::string_view) {}, {}});
  const double baseline = resident_bytes();
  const double cpu_before = cpu_seconds();
  const auto t0 = Clock::now();
  host.start();
  const std::vector<vandrel::Point> filtered = vandrel::filter_cloud(host, points, sigma, density);
  const double total = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = cpu_seconds() - cpu_before;

  int threads = 1;
#ifdef _OPENMP
  threads = omp_get_max_threads();
#endif
  std::printf("\n%s: %lld points, %d threads, %.2f s in all, %.2f CPU s\n", name, static_cast<long long>(n), threads,
              total, cpu);
  for (std::size_t k = 0; k < host.pass_seconds.size(); ++k) {
    std::printf("  pass %zu: %.0f points/s (%.2f s)\n", k + 1, static_cast<double>(n) / host.pass_seconds[k],
                host.pass_seconds[k]);
  }
  for (const char* stage : {"split", "radius search", "nearest neighbours", "frames", "estimates", "fusion", "solve",
                            "noise update", "merge"}) {
    const double s = host.totals[stage];
    std::printf("  %-20s %8.3f s  %5.1f %%\n", stage, s, 100.0 * s / total);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double peak = static_cast<double>(usage.ru_maxrss) * 1024.0;
  // Working memory: the peak above what was resident before the run (the input) and the
  // output array.
  const double output = static_cast<double>(n) * sizeof(vandrel::Point);
  const double working = std::max(0.0, peak - baseline - output);
  std::printf("  peak resident %.0f MiB, input resident before %.0f MiB, working %.0f bytes per point\n",
              peak / 1048576.0, baseline / 1048576.0, working / static_cast<double>(n));
  std::printf("RESULT %s points=%lld cpu_s=%.2f wall_s=%.2f peak_mib=%.0f working_bytes_per_point=%.0f\n", name,
              static_cast<long long>(n), cpu, total, peak / 1048576.0, working / static_cast<double>(n));
}

}  // namespace

int main(int argc, char** argv) {
  // filter_bench FILE.xyz SIGMA DENSITY times one file; without arguments, the sample scan
  // and a synthetic sphere.
  if (argc == 4) {
    run(argv[1], read_xyz(argv[1]), std::strtof(argv[2], nullptr), std::strtof(argv[3], nullptr));
    return 0;
  }
  const std::string data_dir = VANDREL_DATA_DIR;
  run("sample scan (bunny, sigma 0.005, density 22707)", read_xyz(data_dir + "/bunny_20k_noisy.xyz"), 0.005f,
      22707.0f);
  run("synthetic sphere (sigma 0.3, density 1)", synthetic_surface(100000, 0.3f), 0.3f, 1.0f);
  return 0;
}
