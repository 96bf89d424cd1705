#pragma once
#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace vandrel {

/// A LAS file as read: its bytes, kept whole so that it is written back with only the
/// point coordinates and the header's extents replaced, and where the points lie.
struct LasDocument {
  std::string content;
  std::size_t points_begin = 0;   // of the first point record in `content`
  std::size_t record_length = 0;  // bytes per point record
  std::int64_t points = 0;
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
/// integer. The header's minimum and maximum x, y, z become the extents of the written
/// points.
///   name  in  the output's name, for messages
/// Throws vandrel::Error "Vandrel:cannotWrite" naming the point and axis when a
/// coordinate does not fit a 32-bit integer at that scale and offset, before writing
/// anything; stream errors are left in the stream's state. Reentrant.
void write_las(std::ostream& out, const LasDocument& document, const float* xyz, const std::string& name);

}  // namespace vandrel
