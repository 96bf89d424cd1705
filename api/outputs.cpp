#include "vandrel/outputs.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "api/recentre.h"
#include "api/wider_support.h"
#include "core/filter_outputs.h"
#include "core/finite.h"
#include "core/outliers.h"
#include "core/parameters.h"
#include "core/pipeline.h"
#include "core/point_sigmas.h"
#include "core/selection.h"
#include "host/native_host.h"
#include "tiling/tiling.h"
#include "vandrel/vandrel.h"

namespace vandrel {
namespace {

FilterOutputs outputs_for(const OutputRequest& request, const PointD& centre) {
  FilterOutputs outputs;
  outputs.normals = request.normals;
  outputs.noise = request.noise;
  switch (request.orientation) {
    case NormalOrientation::consistent:
      outputs.orientation.rule = vandrel::NormalSign::Rule::propagate;
      break;
    case NormalOrientation::toward_viewpoint:
      outputs.orientation.rule = vandrel::NormalSign::Rule::viewpoint;
      break;
    case NormalOrientation::along_direction:
      outputs.orientation.rule = vandrel::NormalSign::Rule::direction;
      break;
  }
  for (std::size_t c = 0; c < 3; ++c) {
    const double value =
        request.orientation == NormalOrientation::toward_viewpoint ? request.target[c] - centre[c] : request.target[c];
    outputs.orientation.target[c] = static_cast<float>(value);
  }
  return outputs;
}

template <class P>
void take_outputs(DenoiseResultOf<P>& result, FilterOutputs& outputs) {
  result.normals = std::move(outputs.normal);
  result.curvature = std::move(outputs.curvature);
  result.noise = std::move(outputs.noise_level);
}

// Outputs of `rows` rows, all NaN (rows not filtered).
template <class P>
void nan_outputs(DenoiseResultOf<P>& result, const OutputRequest& request, std::size_t rows) {
  FilterOutputs outputs;
  outputs.normals = request.normals;
  outputs.noise = request.noise;
  outputs.reset(rows);
  take_outputs(result, outputs);
  if (request.outliers) result.outliers.assign(rows, 0);
}

// A run over the selected rows only, its outputs put back in their rows (NaN elsewhere).
template <class P, class Run>
DenoiseResultOf<P> run_selected(std::span<const P> points, const OutputRequest& request, const DenoiseOptions& options,
                                const Run& run) {
  const std::vector<P> chosen = selected_rows(points, options.selection);
  DenoiseResultOf<P> part = run(std::span<const P>(chosen), without_selection(options));
  DenoiseResultOf<P> result;
  result.points.assign(points.begin(), points.end());
  nan_outputs(result, request, points.size());
  std::size_t k = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (options.selection[i] == 0) continue;
    result.points[i] = part.points[k];
    if (request.normals) {
      result.normals[i] = part.normals[k];
      result.curvature[i] = part.curvature[k];
    }
    if (request.noise) result.noise[i] = part.noise[k];
    if (request.outliers) result.outliers[i] = part.outliers[k];
    ++k;
  }
  return result;
}

// The values of the rows a selection keeps, in order, as selected_rows keeps the points.
std::vector<float> selected_values(std::span<const float> values, std::span<const std::uint8_t> selection) {
  std::vector<float> chosen;
  for (std::size_t i = 0; i < values.size(); ++i)
    if (selection[i] != 0) chosen.push_back(values[i]);
  return chosen;
}

// Noise given as one sigma, or as one per point (`sigmas` not empty).
struct NoiseGiven {
  float sigma = 0.0f;
  std::span<const float> sigmas;
};

// Outliers in two runs: `measure` runs a first pass over the cloud with the outlier
// measures, beside which the input positions give each point's wider support; `filter` then
// runs the request less the outliers with the options selecting the points not flagged,
// which leaves the outliers out as neighbours. The flags come with it.
template <class Measure, class Filter>
DenoiseResult leaving_outliers_out(std::span<const Point> points, float sigma, float density,
                                   const OutputRequest& request, const DenoiseOptions& options,
                                   const Measure& measure, const Filter& filter) {
  const std::size_t rows = points.size();
  FilterOutputs measured;
  measured.outlier_measures = true;
  measured.first_pass_only = true;
  measure(measured);
  const OutlierRule rule;
  const std::vector<std::uint8_t> flags =
      outlier_flags(measured, wider_support(points, sigma, density, rule, threads_for(options)), rule);
  std::vector<std::uint8_t> inliers(rows);
  for (std::size_t i = 0; i < rows; ++i) inliers[i] = flags[i] == 0 ? 1 : 0;
  OutputRequest rest = request;
  rest.outliers = false;
  DenoiseOptions chosen = options;
  chosen.selection = inliers;
  DenoiseResult result = filter(rest, chosen);
  result.outliers = flags;
  return result;
}

DenoiseResult run_single(std::span<const Point> points, const NoiseGiven& noise, float density,
                         const OutputRequest& request, const DenoiseOptions& options, const PointD& centre) {
  if (!options.selection.empty()) {
    check_selection(options.selection, points.size());
    if (!noise.sigmas.empty()) check_point_sigma_count(noise.sigmas.size(), points.size(), options.names);
    const std::vector<float> chosen_sigmas = selected_values(noise.sigmas, options.selection);
    return run_selected(points, request, options, [&](std::span<const Point> chosen, const DenoiseOptions& all) {
      return run_single(chosen, {noise.sigma, chosen_sigmas}, density, request, all, centre);
    });
  }
  const bool per_point = !noise.sigmas.empty();
  if (per_point) largest_point_sigma(points, noise.sigmas, options.names);
  DenoiseResult result;
  if (one_place(points)) {
    check_thread_count(options.threads);
    check_parameters(per_point ? 0.0f : noise.sigma, density, options.names);
    result.points.assign(points.begin(), points.end());
    nan_outputs(result, request, points.size());
    return result;
  }
  const auto filter = [&](FilterOutputs& outputs) {
    NativeHost host(native_host_options(options));
    FilterSettings settings{options.chunk_points, options.allow_large_neighbourhoods, options.names, {}};
    settings.outputs = &outputs;
    return per_point ? filter_cloud(host, points, noise.sigmas, density, settings)
                     : filter_cloud(host, points, noise.sigma, density, settings);
  };
  if (request.outliers) {
    // The move limit is in units of one noise level for the whole cloud.
    if (per_point)
      throw Error("Vandrel:invalidArgument",
                  "outliers are found with one sigma for the whole cloud, not with a sigma per point: "
                  "find them with one sigma, or leave out the outliers");
    // A first pass over the whole cloud measures the points.
    return leaving_outliers_out(points, noise.sigma, density, request, options, filter,
                                [&](const OutputRequest& rest, const DenoiseOptions& chosen) {
                                  return run_single(points, noise, density, rest, chosen, centre);
                                });
  }
  FilterOutputs outputs = outputs_for(request, centre);
  result.points = filter(outputs);
  take_outputs(result, outputs);
  return result;
}

// The double-precision call as the double denoise makes it: moved by the centre of the
// bounding box and filtered in single; rows the filter leaves keep their input bits.
template <class Run>
DenoiseResultD recentred_outputs(std::span<const PointD> points, const Run& run) {
  const PointD centre = bounding_box_centre(points);
  const std::vector<Point> single = recentred_single(points, centre);
  DenoiseResult filtered = run(std::span<const Point>(single), centre);
  DenoiseResultD out;
  out.points.assign(points.begin(), points.end());
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (std::memcmp(&filtered.points[i], &single[i], sizeof(Point)) == 0) continue;
    for (std::size_t c = 0; c < 3; ++c) out.points[i][c] = static_cast<double>(filtered.points[i][c]) + centre[c];
  }
  out.normals = std::move(filtered.normals);
  out.curvature = std::move(filtered.curvature);
  out.noise = std::move(filtered.noise);
  out.outliers = std::move(filtered.outliers);
  return out;
}

}  // namespace

DenoiseResult denoise_with_outputs(std::span<const Point> points, float sigma, float density,
                                   const OutputRequest& request, const DenoiseOptions& options) {
  return run_single(points, {sigma, {}}, density, request, options, PointD{});
}

DenoiseResult denoise_with_outputs(std::span<const Point> points, std::span<const float> sigmas, float density,
                                   const OutputRequest& request, const DenoiseOptions& options) {
  check_point_sigma_count(sigmas.size(), points.size(), options.names);
  return run_single(points, {0.0f, sigmas}, density, request, options, PointD{});
}

DenoiseResultD denoise_with_outputs(std::span<const PointD> points, float sigma, float density,
                                    const OutputRequest& request, const DenoiseOptions& options) {
  if (!options.selection.empty()) {
    check_selection(options.selection, points.size());
    return run_selected(points, request, options, [&](std::span<const PointD> chosen, const DenoiseOptions& all) {
      return denoise_with_outputs(chosen, sigma, density, request, all);
    });
  }
  return recentred_outputs(points, [&](std::span<const Point> single, const PointD& centre) {
    return run_single(single, {sigma, {}}, density, request, options, centre);
  });
}

DenoiseResultD denoise_with_outputs(std::span<const PointD> points, std::span<const float> sigmas, float density,
                                    const OutputRequest& request, const DenoiseOptions& options) {
  check_point_sigma_count(sigmas.size(), points.size(), options.names);
  if (!options.selection.empty()) {
    check_selection(options.selection, points.size());
    const std::vector<float> chosen_sigmas = selected_values(sigmas, options.selection);
    return run_selected(points, request, options, [&](std::span<const PointD> chosen, const DenoiseOptions& all) {
      return denoise_with_outputs(chosen, std::span<const float>(chosen_sigmas), density, request, all);
    });
  }
  return recentred_outputs(points, [&](std::span<const Point> single, const PointD& centre) {
    return run_single(single, {0.0f, sigmas}, density, request, options, centre);
  });
}

DenoiseResult denoise_tiled_with_outputs(std::span<const Point> points, float sigma, float density,
                                         const OutputRequest& request, const DenoiseOptions& options,
                                         const TileOptions& tiling) {
  if (!options.selection.empty()) {
    check_selection(options.selection, points.size());
    return run_selected(points, request, options, [&](std::span<const Point> chosen, const DenoiseOptions& all) {
      return denoise_tiled_with_outputs(chosen, sigma, density, request, all, tiling);
    });
  }
  if (request.outliers) {
    // As the whole run, with a first pass over every tile.
    return leaving_outliers_out(
        points, sigma, density, request, options,
        [&](FilterOutputs& measured) { denoise_tiled_outputs(points, sigma, density, measured, options, tiling); },
        [&](const OutputRequest& rest, const DenoiseOptions& chosen) {
          return denoise_tiled_with_outputs(points, sigma, density, rest, chosen, tiling);
        });
  }
  FilterOutputs outputs = outputs_for(request, PointD{});
  DenoiseResult result;
  result.points = denoise_tiled_outputs(points, sigma, density, outputs, options, tiling);
  take_outputs(result, outputs);
  return result;
}

}  // namespace vandrel
