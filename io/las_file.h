#pragma once
#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "io/byte_values.h"

namespace vandrel {

/// A LAS file as read: its bytes, kept whole so that it is written back with only the
/// point coordinates and the header's extents replaced, and where the points lie.
struct LasDocument {
  std::string content;
  std::size_t points_begin = 0;   // of the first point record in `content`
  std::size_t record_length = 0;  // bytes per point record
  std::int64_t points = 0;
  std::uint8_t point_format = 0;  // point data record format, 0 to 10
  std::array<double, 3> scale{};  // a coordinate is record integer * scale + offset
  std::array<double, 3> offset{};
  /// The centre of the points' extents: xyz holds coordinates minus origin, so that
  /// georeferenced clouds, far from zero, keep their detail in single precision.
  std::array<double, 3> origin{};
};

/// Parses an uncompressed LAS file, version 1.0 to 1.4, point data record format 0 to 10.
/// Each coordinate is the record's 32-bit integer times the header's scale plus its offset,
/// in double; xyz holds it minus the document's origin, rounded to single. The header, VLRs, EVLRs and all other bytes of the
/// records are kept as they are.
///   content  in   the file's bytes (moved into the document)
///   name     in   the file's name, for messages
///   xyz      out  column-major n x 3 coordinates minus origin
/// Throws vandrel::Error "Vandrel:badLasFile" naming the file for a malformed or truncated
/// file, an unknown point format, no points, and for compressed (LAZ) point data, which it
/// asks to decompress first. Reentrant.
LasDocument read_las(std::string content, const std::string& name, std::vector<float>& xyz);

/// Writes the document back byte for byte with each point's X, Y, Z integers replaced by
/// round((xyz + origin - offset) / scale), xyz column-major n x 3, with the header's
/// scale and offset; a coordinate equal to the one read, rounded to single, keeps its
/// integer. Of the header's minimum and maximum x, y, z, those the written points change
/// become the written points' extents; the others keep their bytes (see store_las_extents),
/// so that a cloud written back unchanged is the file read, byte for byte.
///   name  in  the output's name, for messages
/// Throws vandrel::Error "Vandrel:cannotWrite" naming the point and axis when a
/// coordinate does not fit a 32-bit integer at that scale and offset, before writing
/// anything; stream errors are left in the stream's state. Reentrant.
void write_las(std::ostream& out, const LasDocument& document, const float* xyz, const std::string& name);

/// The classification of each point of `document` as read by read_las (see
/// las_record_class). Reentrant.
std::vector<std::uint8_t> las_classes(const LasDocument& document);

/// The return number of a point record (1 for the first echo of its pulse) and the number of
/// returns of its pulse; either is 0 in files that leave them unset.
struct LasReturn {
  std::uint8_t number = 0;
  std::uint8_t count = 0;
};

/// The return of each point of `document` as read by read_las (see las_record_return).
/// Reentrant.
std::vector<LasReturn> las_returns(const LasDocument& document);

// The parts of read_las and write_las that a file read a block of points at a time shares.

/// Bytes of the public header block that hold its minimum and maximum x, y, z.
constexpr std::size_t las_extents_end = 227;

/// Parses the header of an uncompressed LAS file of `file_size` bytes, which `read` gives,
/// and walks its extended VLRs, with every check of read_las that needs no coordinate.
/// Returns the document without content, with origin 0. Throws what read_las throws for
/// such faults.
LasDocument las_layout(std::uint64_t file_size, const ReadFileBytes& read, const std::string& name);

/// The X, Y or Z integer (`axis` 0, 1, 2) of the point record starting at `record`.
inline std::int32_t las_record_integer(const char* record, std::size_t axis) {
  return load_value<std::int32_t>(record + 4 * axis, true);
}

/// The class of the point record starting at `record` in point data record format
/// `format`: the low five bits of its classification byte in formats 0 to 5 (the other
/// three are flags), the whole byte in formats 6 to 10.
inline std::uint8_t las_record_class(const char* record, std::uint8_t format) {
  const auto byte = static_cast<unsigned char>(record[format <= 5 ? 15 : 16]);
  return static_cast<std::uint8_t>(format <= 5 ? byte & 0x1F : byte);
}

/// The return of the point record starting at `record` in point data record format
/// `format`, from its byte 14: bits 0-2 (number) and 3-5 (count) in formats 0 to 5, bits
/// 0-3 and 4-7 in formats 6 to 10.
inline LasReturn las_record_return(const char* record, std::uint8_t format) {
  const auto byte = static_cast<unsigned char>(record[14]);
  if (format <= 5) return {static_cast<std::uint8_t>(byte & 0x07), static_cast<std::uint8_t>((byte >> 3) & 0x07)};
  return {static_cast<std::uint8_t>(byte & 0x0F), static_cast<std::uint8_t>(byte >> 4)};
}

/// A record integer as a coordinate: integer * scale + offset, in double.
inline double las_coordinate(const LasDocument& layout, std::int32_t integer, std::size_t axis) {
  return static_cast<double>(integer) * layout.scale[axis] + layout.offset[axis];
}

/// A record integer as the filter sees it: relative to the origin, in single precision.
inline float las_relative(const LasDocument& layout, std::int32_t integer, std::size_t axis) {
  return relative_coordinate(las_coordinate(layout, integer, axis), layout.origin[axis]);
}

/// The origin of points of `extents` (the centre of each axis), throwing vandrel::Error
/// "Vandrel:badLasFile" when an axis spans more than single precision can hold.
std::array<double, 3> las_origin(const Extents& extents, const std::string& name);

/// The integer that the point `point` (0-based, for messages), which holds `integer`,
/// takes for `filtered` on `axis`: `integer` itself when `filtered` is unchanged (see
/// is_unchanged), else round((filtered + origin - offset) / scale). Throws vandrel::Error
/// "Vandrel:cannotWrite" naming the output `name`, the point and the axis when it does not fit 32 bits.
std::int32_t las_integer_for(const LasDocument& layout, std::int32_t integer, float filtered, std::size_t axis,
                             std::int64_t point, const std::string& name);

/// Writes the extents of the points written, `written`, over the header's minimum and
/// maximum x, y, z where they differ from `read`, the extents of the points as read (both
/// from the record integers); where they are equal the header keeps its own bytes, which
/// the file's writer may have computed otherwise (170.76000000000028 for 170.76).
/// `header` holds at least las_extents_end bytes.
void store_las_extents(char* header, const Extents& read, const Extents& written);

}  // namespace vandrel
