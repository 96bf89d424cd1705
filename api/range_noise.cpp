// Noise that grows with range: a model fitted to depth bands.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "api/band_noise.h"
#include "core/finite.h"
#include "vandrel/error.h"
#include "vandrel/estimate.h"
#include "vandrel/noise_model.h"

namespace vandrel {
namespace {

constexpr std::int64_t max_bands = 8;

double range_of(const Point& p, const PointD& sensor) {
  const double dx = static_cast<double>(p[0]) - sensor[0];
  const double dy = static_cast<double>(p[1]) - sensor[1];
  const double dz = static_cast<double>(p[2]) - sensor[2];
  return std::sqrt((dx * dx + dy * dy) + dz * dz);
}

double median_sigma(const std::vector<RangeNoise::Band>& bands) {
  std::vector<double> sigmas;
  for (const RangeNoise::Band& band : bands) sigmas.push_back(static_cast<double>(band.sigma));
  std::sort(sigmas.begin(), sigmas.end());
  const std::size_t half = sigmas.size() / 2;
  return sigmas.size() % 2 == 1 ? sigmas[half] : sigmas[half - 1] / 2 + sigmas[half] / 2;
}

}  // namespace

RangeNoise estimate_range_noise(std::span<const Point> points, const PointD& sensor) {
  std::vector<std::int64_t> rows;
  std::vector<double> ranges(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (!finite(points[i])) continue;
    rows.push_back(static_cast<std::int64_t>(i));
    ranges[i] = range_of(points[i], sensor);
  }
  const auto finite_points = static_cast<std::int64_t>(rows.size());
  if (finite_points < min_band_points)
    throw Error("Vandrel:tooFewPoints", "a noise model by range needs " + std::to_string(min_band_points) +
                                            " points with finite coordinates or more, but there are " +
                                            std::to_string(finite_points));
  std::stable_sort(rows.begin(), rows.end(), [&](std::int64_t p, std::int64_t q) {
    return ranges[static_cast<std::size_t>(p)] < ranges[static_cast<std::size_t>(q)];
  });

  RangeNoise model;
  model.sensor = sensor;
  const std::int64_t bands = std::clamp<std::int64_t>(finite_points / min_band_points, 1, max_bands);
  std::vector<Point> band_points;
  for (std::int64_t b = 0; b < bands; ++b) {
    const std::int64_t begin = finite_points * b / bands;
    const std::int64_t end = finite_points * (b + 1) / bands;
    band_points.clear();
    double squares = 0.0;
    for (std::int64_t k = begin; k < end; ++k) {
      const auto row = static_cast<std::size_t>(rows[static_cast<std::size_t>(k)]);
      band_points.push_back(points[row]);
      squares += ranges[row] * ranges[row];
    }
    RangeNoise::Band band;
    band.points = end - begin;
    band.range = std::sqrt(squares / static_cast<double>(band.points));
    try {
      const BandNoise noise = estimate_band_noise(band_points);
      band.sigma = noise.sigma;
      band.step = noise.step;
    } catch (const Error&) {
      continue;  // a band that samples no surface (a thin shell of scattered points)
    }
    model.bands.push_back(band);
  }
  if (model.bands.empty())
    throw Error("Vandrel:degenerateCloud", "no depth band of the cloud samples a surface whose noise can be measured");
  // A quantised band that reads no noise lies on terraces wider than even its thinned patches (a
  // wall square to the camera): its quantisation is an offset there, and its noise unmeasured,
  // not 0. Left out while another band measures noise; when none does, the zeros stand and say so.
  const auto unmeasured = [](const RangeNoise::Band& band) { return band.sigma == 0.0f && band.step > 0.0; };
  if (!std::all_of(model.bands.begin(), model.bands.end(), unmeasured)) std::erase_if(model.bands, unmeasured);

  // Least squares of sigma against x = range^2, every band weighing alike (they hold as many points).
  double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
  for (const RangeNoise::Band& band : model.bands) {
    const double x = band.range * band.range;
    const double y = static_cast<double>(band.sigma);
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  const auto m = static_cast<double>(model.bands.size());
  const double spread = sxx - (sx * sx) / m;
  if (model.bands.size() < 2 || !(spread > 0.0)) {
    model.a = median_sigma(model.bands);
    return model;
  }
  model.b = (sxy - (sx * sy) / m) / spread;
  model.a = (sy - model.b * sx) / m;
  if (model.b <= 0.0) {
    model.a = median_sigma(model.bands);
    model.b = 0.0;
  } else if (model.a < 0.0) {
    model.a = 0.0;
    model.b = sxy / sxx;
  }
  return model;
}

std::vector<float> range_sigmas(std::span<const Point> points, const RangeNoise& model) {
  std::vector<float> sigmas(points.size(), 0.0f);
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (finite(points[i])) sigmas[i] = static_cast<float>(model.at(range_of(points[i], model.sensor)));
  }
  return sigmas;
}

}  // namespace vandrel
