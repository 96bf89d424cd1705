#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/point_file.h"

namespace vandrel {

/// The value of the field `name` of every point of `file`, in double, row by row:
///  - PCD: a field of FIELDS with COUNT 1, any TYPE and SIZE, in every DATA kind;
///  - PLY: a scalar property of the vertex element (binary, or ascii without list properties);
///  - CSV: a column the header line names (quotes and case aside);
///  - LAS: classification, intensity, return_number, number_of_returns, user_data and
///    point_source_id (the flight line) of each point record;
/// x, y and z among them (in the file's own coordinates). A text value that is not a number
/// reads as NaN. `source` names the file in messages.
/// Throws vandrel::Error "Vandrel:unknownField" naming the fields there are when the file
/// has no such field, and for XYZ/TXT and NPY files, which name no fields. Reentrant.
std::vector<double> point_field(const PointFile& file, std::string_view name, const std::string& source);

/// Where a PCD file's VIEWPOINT puts the sensor (its translation), in the file's
/// coordinates; nothing for other formats. (0 0 0 when the header has no VIEWPOINT.)
std::optional<std::array<double, 3>> pcd_sensor_position(const PointFile& file);

/// The rows of a PCD file's grid (its HEIGHT: 1 for an unorganised cloud); 0 for other formats.
std::int64_t pcd_grid_height(const PointFile& file);

}  // namespace vandrel
