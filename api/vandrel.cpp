#include "api/vandrel.h"

#include <string>

#include "core/pipeline.h"
#include "host/native_host.h"

namespace vandrel {

namespace {

// More threads than this are refused: the OpenMP runtime fails on absurd counts.
constexpr int max_threads = 1024;

}  // namespace

std::vector<Point> denoise(std::span<const Point> points, float sigma, float density, const DenoiseOptions& options) {
  if (options.threads < 0 || options.threads > max_threads) {
    throw Error("Vandrel:invalidThreads",
                "threads must be 0 (all processors) to " + std::to_string(max_threads) + ", but it is " +
                    std::to_string(options.threads) + ".");
  }
  NativeHostOptions host_options;
  host_options.threads = options.threads;
  host_options.console = options.console ? options.console : [](std::string_view) {};
  if (options.progress) {
    host_options.progress = [&](std::string_view stage, std::int64_t done, std::int64_t total) {
      return options.progress({stage, done, total});
    };
  }
  NativeHost host(std::move(host_options));
  return filter_cloud(host, points, sigma, density, {options.chunk_points, options.allow_large_neighbourhoods});
}

}  // namespace vandrel
