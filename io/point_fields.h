#pragma once
#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/point_file.h"

namespace vandrel {

/// A value per point that an output gains beside its coordinates (a normal's component, a
/// noise level): written as a 4-byte float where the format has types.
struct PointField {
  std::string name;
  std::vector<float> values;  // one per point, NaN where there is none
};

/// Makes `file`'s layout hold `fields`, to be written by write_point_data with the
/// coordinates: a field the file already has under the same name (a PLY property or a PCD
/// field of type float or double, a column named so in a CSV header, a LAS extra-bytes
/// field of type float or double) takes the new values in its own type; any other is added:
///   PLY    a `float` vertex property after the vertex's last one
///   PCD    a field of SIZE 4, TYPE F, COUNT 1 after the last one, in the file's DATA kind
///   text   a column after the last one (CSV: named in the header, when there is one)
///   NPY    a column after the last one, in the array's dtype and order
///   LAS    4 bytes per record, described in the extra-bytes VLR (LASF_Spec, record 4;
///          made, or extended, after the last VLR), type float
/// Everything else in the file is kept as it was. Throws vandrel::Error
/// "Vandrel:cannotConvert" naming `name` (the output) when a field cannot be held: a name
/// PLY or PCD cannot write (empty, or with white space), a PCD or PLY field of that name
/// that is not a single float or double, a LAS name longer than 32 bytes.
void set_point_fields(PointFile& file, std::span<const PointField> fields, const std::string& name);

/// Sets the LAS classification of the points whose `flags` value is nonzero to `point_class`
/// (formats 0 to 5: the low five bits of the classification byte, the flag bits kept;
/// 6 to 10: the whole byte). Throws vandrel::Error "Vandrel:cannotClassify" naming `name`
/// for a file that is not LAS.
void set_las_class(PointFile& file, std::span<const std::uint8_t> flags, std::uint8_t point_class,
                   const std::string& name);

/// The names a format gives a normal's components, and its curvature where it has a place
/// for one: PCD normal_x, normal_y, normal_z (and curvature when the file has that field),
/// nx, ny, nz elsewhere (PLY's usual names; text columns, LAS extra bytes).
struct NormalFieldNames {
  std::array<std::string, 3> axes;
  std::optional<std::string> curvature;
};
NormalFieldNames normal_field_names(const PointFile& file);

/// Where the sensor stood, for files that say: a PCD file's VIEWPOINT translation (0 0 0
/// when the header has none, as PCL reads it), relative to the layout's origin like the
/// coordinates in file.xyz. Nullopt for other formats.
std::optional<PointD> sensor_position(const PointFile& file);

}  // namespace vandrel
