#include "api/vandrel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "api/host_options.h"

#ifdef _OPENMP
#include <omp.h>
#endif
#include "core/pipeline.h"
#include "host/native_host.h"

namespace vandrel {

namespace {

// More threads than this are refused: the OpenMP runtime fails on absurd counts.
constexpr int max_threads = 1024;

}  // namespace

int thread_count(const DenoiseOptions& options) {
  if (options.threads > 0) return options.threads;
#ifdef _OPENMP
  return omp_get_max_threads();
#else
  return 1;
#endif
}

NativeHostOptions host_options_for(const DenoiseOptions& options) {
  if (options.threads < 0 || options.threads > max_threads) {
    throw Error("Vandrel:invalidThreads",
                "threads must be 0 (all processors) to " + std::to_string(max_threads) + ", but it is " +
                    std::to_string(options.threads) + ".");
  }
  NativeHostOptions host_options;
  host_options.threads = options.threads;
  host_options.console = options.console ? options.console : [](std::string_view) {};
  if (options.progress) {
    host_options.progress = [&options](std::string_view stage, std::int64_t done, std::int64_t total) {
      return options.progress({stage, done, total});
    };
  }
  return host_options;
}

std::vector<Point> denoise(std::span<const Point> points, float sigma, float density, const DenoiseOptions& options) {
  NativeHost host(host_options_for(options));
  return filter_cloud(host, points, sigma, density, {options.chunk_points, options.allow_large_neighbourhoods});
}

std::vector<PointD> denoise(std::span<const PointD> points, float sigma, float density, const DenoiseOptions& options) {
  PointD lo{}, hi{};
  bool any = false;
  for (const PointD& p : points) {
    if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) continue;
    for (std::size_t c = 0; c < 3; ++c) {
      lo[c] = any ? std::min(lo[c], p[c]) : p[c];
      hi[c] = any ? std::max(hi[c], p[c]) : p[c];
    }
    any = true;
  }
  PointD centre{};
  if (any) {
    for (std::size_t c = 0; c < 3; ++c) centre[c] = lo[c] + (hi[c] - lo[c]) / 2.0;
  }
  std::vector<Point> single(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    for (std::size_t c = 0; c < 3; ++c) {
      const double moved = points[i][c] - centre[c];
      if (std::isfinite(moved) && std::fabs(moved) > std::numeric_limits<float>::max()) {
        throw Error("Vandrel:outOfRange", "Point " + std::to_string(i + 1) +
                                              " lies too far from the others for single precision.");
      }
      single[i][c] = static_cast<float>(moved);
    }
  }
  const std::vector<Point> filtered = denoise(single, sigma, density, options);
  std::vector<PointD> out(points.begin(), points.end());
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (std::memcmp(&filtered[i], &single[i], sizeof(Point)) == 0) continue;  // left in place: the input's own bits
    for (std::size_t c = 0; c < 3; ++c) out[i][c] = static_cast<double>(filtered[i][c]) + centre[c];
  }
  return out;
}

}  // namespace vandrel
