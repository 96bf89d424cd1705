#include "api/vandrel.h"

#include "core/pipeline.h"
#include "host/native_host.h"

namespace vandrel {

std::vector<Point> denoise(std::span<const Point> points, float sigma, float density, const DenoiseOptions& options) {
  NativeHost host({options.threads, options.console ? options.console : [](std::string_view) {}});
  return filter_cloud(host, points, sigma, density, {options.chunk_points});
}

}  // namespace vandrel
