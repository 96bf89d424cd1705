// Denoising with a noise level per point.
#include <vector>

#include "api/recentre.h"
#include "core/finite.h"
#include "core/parameters.h"
#include "core/pipeline.h"
#include "core/point_sigmas.h"
#include "core/selection.h"
#include "host/native_host.h"
#include "vandrel/vandrel.h"

namespace vandrel {
namespace {

// The values of the rows a selection keeps, in order, as selected_rows keeps the points.
std::vector<float> selected_sigmas(std::span<const float> sigmas, std::span<const std::uint8_t> selection) {
  std::vector<float> chosen;
  for (std::size_t i = 0; i < sigmas.size(); ++i)
    if (selection[i] != 0) chosen.push_back(sigmas[i]);
  return chosen;
}

}  // namespace

std::vector<Point> denoise(std::span<const Point> points, std::span<const float> sigmas, float density,
                           const DenoiseOptions& options) {
  largest_point_sigma(points, sigmas, options.names);
  if (!options.selection.empty()) {
    check_selection(options.selection, points.size());
    const std::vector<float> chosen_sigmas = selected_sigmas(sigmas, options.selection);
    const DenoiseOptions all = without_selection(options);
    return filter_selected(points, options.selection, [&](std::span<const Point> chosen) {
      return denoise(chosen, std::span<const float>(chosen_sigmas), density, all);
    });
  }
  if (one_place(points)) {
    check_thread_count(options.threads);
    check_parameters(0.0f, density, options.names);
    return {points.begin(), points.end()};
  }
  NativeHost host(native_host_options(options));
  return filter_cloud(host, points, sigmas, density,
                      {options.chunk_points, options.allow_large_neighbourhoods, options.names, {}});
}

std::vector<PointD> denoise(std::span<const PointD> points, std::span<const float> sigmas, float density,
                            const DenoiseOptions& options) {
  if (!options.selection.empty()) {
    check_selection(options.selection, points.size());
    check_point_sigma_count(sigmas.size(), points.size(), options.names);
    const std::vector<float> chosen_sigmas = selected_sigmas(sigmas, options.selection);
    const DenoiseOptions all = without_selection(options);
    return filter_selected(points, options.selection, [&](std::span<const PointD> chosen) {
      return denoise(chosen, std::span<const float>(chosen_sigmas), density, all);
    });
  }
  return filter_recentred(points,
                          [&](std::span<const Point> single) { return denoise(single, sigmas, density, options); });
}

}  // namespace vandrel
