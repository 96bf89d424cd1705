#include "cli/point_noise.h"

#include <cmath>
#include <cstdio>
#include <variant>

#include "core/finite.h"
#include "io/number_text.h"
#include "io/point_field.h"
#include "vandrel/error.h"
#include "vandrel/noise_model.h"
#include "vandrel/scan_defaults.h"
#include "vandrel/vandrel.h"

namespace vandrel {
namespace {

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", value);
  return text;
}

std::array<double, 3> layout_origin(const PointFile& file) {
  return std::visit([](const auto& layout) { return layout.origin; }, file.layout);
}

}  // namespace

std::array<double, 3> parse_sensor(const std::string& text) {
  std::array<double, 3> position{};
  std::size_t begin = 0;
  for (std::size_t c = 0; c < 3; ++c) {
    const std::size_t end = c < 2 ? text.find(',', begin) : text.size();
    const bool ok = end != std::string::npos && parse_double(text.substr(begin, end - begin), position[c]) &&
                    std::isfinite(position[c]) && (c < 2 || text.find(',', begin) == std::string::npos);
    if (!ok)
      throw Error("Vandrel:invalidArgument",
                  "--sensor '" + text + "' is not a position x,y,z of three finite numbers, such as 0,0,0");
    begin = end + 1;
  }
  return position;
}

SensorNoise sensor_noise(const PointFile& file, std::span<const Point> points, std::span<const std::uint8_t> estimate_from,
                         const PointNoiseRequest& request, const std::string& source) {
  std::optional<std::array<double, 3>> sensor = request.sensor;
  std::string where = "--sensor";
  if (!sensor) {
    sensor = pcd_sensor_position(file);
    where = "the VIEWPOINT of the PCD header";
  }
  if (!sensor)
    throw Error("Vandrel:noSensor", "--sigma range measures range from the sensor: give its position with --sensor "
                                    "x,y,z ('" + source + "' is not a PCD file, whose VIEWPOINT would give it)");
  const std::array<double, 3> origin = layout_origin(file);
  const PointD at{(*sensor)[0] - origin[0], (*sensor)[1] - origin[1], (*sensor)[2] - origin[2]};
  SensorNoise noise{estimate_range_noise(selected_points(points, estimate_from), at), ""};
  const RangeNoise& model = noise.model;
  std::string bands;
  for (const RangeNoise::Band& band : model.bands)
    bands += (bands.empty() ? "" : ", ") + number_text(band.range) + ": " + number_text(band.sigma) +
             (band.step > 0.0 ? " (depth steps " + number_text(band.step) + ")" : "");
  noise.description = "Noise by range from the sensor at " + number_text((*sensor)[0]) + "," +
                      number_text((*sensor)[1]) + "," + number_text((*sensor)[2]) + " (" + where +
                      "): sigma = " + number_text(model.a) + " + " + number_text(model.b) + " r^2, fitted to " +
                      std::to_string(model.bands.size()) + (model.bands.size() == 1 ? " depth band" : " depth bands") +
                      " (range: sigma) " + bands;
  return noise;
}

DepthImageNoise depth_image_noise(const PointFile& file, std::span<const Point> points, std::int64_t finite_rows,
                                  const PointNoiseRequest& request, const std::string& source,
                                  const std::function<void(const std::string&)>& print) {
  DepthImageNoise noise;
  if (range_noise_by_default(pcd_grid_height(file), finite_rows)) {
    noise.by_range = true;
    noise.reason = "the default for an organised depth image";
    return noise;
  }
  if (finite_rows < 2 * min_band_points) return noise;
  try {
    noise.fit = sensor_noise(file, points, {}, request, source);
  } catch (const Error& e) {
    print("One sigma: the noise by range could not be measured (" + std::string(e.what()) + ")");
    return noise;
  }
  char growth[32];
  std::snprintf(growth, sizeof growth, "%.2f", noise_growth(noise.fit->model));
  if (noise_grows_with_range(noise.fit->model)) {
    noise.by_range = true;
    noise.reason = std::string("the default for a depth image: the noise grows ") + growth +
                   " times from the nearest depth band to the farthest";
  } else {
    print(std::string("One sigma: the noise by range about the sensor grows ") + growth +
          " times from the nearest depth band to the farthest, not as a depth camera's");
    noise.fit.reset();
  }
  return noise;
}

std::vector<float> point_noise(const PointFile& file, std::span<const Point> points,
                               std::span<const std::uint8_t> estimate_from, const PointNoiseRequest& request,
                               const std::string& source, const std::function<void(const std::string&)>& print,
                               const std::optional<SensorNoise>& fitted) {
  if (!request.field.empty()) {
    const std::vector<double> values = point_field(file, request.field, source);
    std::vector<float> sigmas(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto value = static_cast<float>(values[i]);
      if (finite(points[i]) && !(std::isfinite(value) && value >= 0.0f))
        throw Error("Vandrel:invalidSigma", "field '" + request.field + "' of point " + std::to_string(i + 1) +
                                                " is " + number_text(values[i]) +
                                                ", not a noise standard deviation (a finite number >= 0)");
      sigmas[i] = finite(points[i]) ? value : 0.0f;
    }
    print("Sigma of each point from field '" + request.field + "'");
    return sigmas;
  }
  const SensorNoise noise = fitted ? *fitted : sensor_noise(file, points, estimate_from, request, source);
  print(noise.description);
  return range_sigmas(points, noise.model);
}

}  // namespace vandrel
