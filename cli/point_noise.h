#pragma once
#include <array>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/point_file.h"
#include "vandrel/noise_model.h"
#include "vandrel/options.h"
#include "vandrel/point.h"

namespace vandrel {

/// Noise that varies per point, as the command line asks for it: the values of a named field
/// of the file (--sigma-field), or a model by range about the sensor (--sigma range).
struct PointNoiseRequest {
  std::string field;                                // --sigma-field NAME; empty: none
  bool by_range = false;                            // --sigma range
  std::optional<std::array<double, 3>> sensor;      // --sensor X,Y,Z, in the file's coordinates
  bool asked() const { return !field.empty() || by_range; }
};

/// The sensor position of --sensor: three comma-separated finite numbers. Throws
/// vandrel::Error "Vandrel:invalidArgument" otherwise.
std::array<double, 3> parse_sensor(const std::string& text);

/// The range model of --sigma range fitted to the points `estimate_from` selects (one value
/// per row, nonzero: use it; empty: every row) about the sensor (--sensor, else a PCD file's
/// VIEWPOINT), and a line saying what it was fitted to. Throws "Vandrel:noSensor" when there is
/// no sensor position, and what estimate_range_noise throws.
struct SensorNoise {
  RangeNoise model;
  std::string description;
};
SensorNoise sensor_noise(const PointFile& file, std::span<const Point> points, std::span<const std::uint8_t> estimate_from,
                         const PointNoiseRequest& request, const std::string& source);

/// The noise a run whose sigma is left to estimate gives a PCD file, a depth image (`points`:
/// its rows, `finite_rows` of them finite): by range about its sensor when it is organised in a
/// grid (range_noise_by_default), or when, stored as a list (HEIGHT 1, two bands' worth of
/// finite points or more), the model fitted to it (about `request`'s sensor, as sensor_noise)
/// grows with range (noise_grows_with_range): then `fit` holds that model. `reason` says why;
/// `print` receives why a list keeps one sigma.
struct DepthImageNoise {
  bool by_range = false;
  std::optional<SensorNoise> fit;
  std::string reason;
};
DepthImageNoise depth_image_noise(const PointFile& file, std::span<const Point> points, std::int64_t finite_rows,
                                  const PointNoiseRequest& request, const std::string& source,
                                  const std::function<void(const std::string&)>& print);

/// One sigma per row of `file` (`points` are its rows as the filter takes them, minus the
/// layout's origin): a field's values, or the range model fitted to the points `estimate_from`
/// selects (one value per row, nonzero: use it; empty: every row) about the sensor (--sensor,
/// else a PCD file's VIEWPOINT), or `fitted` when given. `print` receives what the values were
/// made from. Throws vandrel::Error: "Vandrel:unknownField" (see point_field) and what
/// sensor_noise throws.
std::vector<float> point_noise(const PointFile& file, std::span<const Point> points,
                               std::span<const std::uint8_t> estimate_from, const PointNoiseRequest& request,
                               const std::string& source, const std::function<void(const std::string&)>& print,
                               const std::optional<SensorNoise>& fitted = std::nullopt);

}  // namespace vandrel
