#include "api/vandrel.h"

#include "core/pipeline.h"
#include "host/native_host.h"

namespace vandrel {

std::vector<Point> denoise(std::span<const Point> points, float sigma, float density, const DenoiseOptions& options) {
  NativeHostOptions host_options;
  host_options.threads = options.threads;
  host_options.console = options.console ? options.console : [](std::string_view) {};
  if (options.progress) {
    host_options.progress = [&](std::string_view stage, std::int64_t done, std::int64_t total) {
      return options.progress({stage, done, total});
    };
  }
  NativeHost host(std::move(host_options));
  return filter_cloud(host, points, sigma, density, {options.chunk_points});
}

}  // namespace vandrel
