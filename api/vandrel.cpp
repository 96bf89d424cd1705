#include "vandrel/vandrel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "api/recentre.h"
#include "core/finite.h"
#include "core/parameters.h"
#include "core/selection.h"
#include "host/native_host.h"

namespace vandrel {

std::vector<Point> selected_points(std::span<const Point> points, std::span<const std::uint8_t> selection) {
  return selected_rows(points, selection);
}

std::vector<Point> denoise(std::span<const Point> points, float sigma, float density, const DenoiseOptions& options) {
  if (!options.selection.empty()) {
    const DenoiseOptions all = without_selection(options);
    return filter_selected(points, options.selection,
                           [&](std::span<const Point> chosen) { return denoise(chosen, sigma, density, all); });
  }
  // Points that all coincide come back as given, at once: fitting them would make every point
  // every point's neighbour, at a cost that grows with the square of their number.
  if (one_place(points)) {
    check_thread_count(options.threads);
    check_parameters(sigma, density, options.names);
    return {points.begin(), points.end()};
  }
  return filter_natively(points, sigma, density, options);
}

PointD bounding_box_centre(std::span<const PointD> points) {
  const auto bounds = finite_bounds(points);
  PointD centre{};
  for (std::size_t c = 0; c < 3; ++c) centre[c] = bounds ? extent_centre((*bounds)[0][c], (*bounds)[1][c]) : 0.0;
  return centre;
}

std::vector<PointD> denoise(std::span<const PointD> points, float sigma, float density, const DenoiseOptions& options) {
  if (!options.selection.empty()) {
    const DenoiseOptions all = without_selection(options);
    return filter_selected(points, options.selection,
                           [&](std::span<const PointD> chosen) { return denoise(chosen, sigma, density, all); });
  }
  return filter_recentred(points,
                          [&](std::span<const Point> single) { return denoise(single, sigma, density, options); });
}

}  // namespace vandrel
