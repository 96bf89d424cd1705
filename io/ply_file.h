#pragma once
#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "io/text_table.h"

namespace vandrel {

enum class PlyFormat { ascii, binary_little_endian, binary_big_endian };

/// Scalar types of PLY properties, under their sized names (int8 is also "char", ...).
enum class PlyType { int8, uint8, int16, uint16, int32, uint32, float32, float64 };

/// Bytes a value of the type takes in a binary PLY file.
std::size_t ply_type_size(PlyType type);

struct PlyProperty {
  std::string name;
  PlyType type = PlyType::float32;  // of the value, or of each item of a list
  bool is_list = false;
  PlyType count_type = PlyType::uint8;  // of a list's length
};

struct PlyElement {
  std::string name;
  std::int64_t count = 0;
  std::vector<PlyProperty> properties;
  std::size_t begin = 0;  // its records' bytes in PlyDocument::content: [begin, end)
  std::size_t end = 0;
};

/// A PLY file as read: its bytes, kept whole so that it can be written back with only the
/// coordinate values replaced, and where its parts lie in them.
struct PlyDocument {
  PlyFormat format = PlyFormat::ascii;
  std::string content;
  std::vector<PlyElement> elements;  // in file order
  std::size_t vertex = 0;            // index of the "vertex" element
  /// Where the coordinate values start in `content`, in the order the properties come in a
  /// record; that k-th coordinate property is axis coordinate_axis[k] (0 for x, 1 for y, 2
  /// for z). Binary vertex records without list properties all take record_size bytes, and
  /// the k-th coordinate of vertex i starts at elements[vertex].begin + i * record_size +
  /// record_offset[k]; otherwise record_size is 0 and those of vertex i are entries 3i,
  /// 3i+1, 3i+2 of coordinate_begin. A value ends at the next whitespace (ascii) or after
  /// its type's size (binary).
  std::size_t record_size = 0;
  std::array<std::size_t, 3> record_offset{};
  std::vector<std::size_t> coordinate_begin;
  std::array<int, 3> coordinate_axis{0, 1, 2};
  std::array<PlyType, 3> coordinate_type{PlyType::float32, PlyType::float32, PlyType::float32};  // by axis
  /// Subtracted, in double, from every coordinate before it is rounded to single, and added
  /// back on output (see origin_when_far in io/byte_values.h); 0 for a cloud near zero.
  std::array<double, 3> origin{};
};

/// Parses a PLY file: ascii (one record per line; blank lines are allowed), binary little-
/// or big-endian, version 1.0, any elements and properties. It needs an element "vertex"
/// with scalar properties x, y and z of type float or double, finite and within single-
/// precision range (or NaN); any other vertex property and any other element is kept as it is.
/// Whitespace after the last element is ignored.
///   content  in   the file's bytes (moved into the document)
///   name     in   the file's name, for messages
///   xyz      out  column-major n x 3 vertex coordinates: each value (ascii: read in double)
///                 minus the document's origin, rounded to single once
/// Throws vandrel::Error "Vandrel:badPlyFile" naming the file and the header line, or the
/// element, record and line (ascii) where the file is malformed, truncated or has no
/// vertices. Reentrant.
PlyDocument read_ply(std::string content, const std::string& name, std::vector<float>& xyz);

/// Writes the document back byte for byte, with each vertex's x, y, z replaced by xyz +
/// origin, added in double: in the file's own format and the property's type (a float
/// property takes the sum rounded to single once; ascii writes floats, and doubles of an
/// axis whose origin is 0, with 9 significant digits, other doubles as the shortest decimal
/// that reads back to the same double). A coordinate equal to the one read (minus origin,
/// rounded to single; NaN matches NaN) keeps its bytes or text. Trailing whitespace after
/// the last element is dropped, and a binary file's header ended by a lone "\r" gets
/// "\r\n" (a body starting with "\n" would otherwise read back differently).
///   xyz  in  column-major n x 3 relative to the document's origin, n the vertex count
/// Stream errors are left in the stream's state. Reentrant.
void write_ply(std::ostream& out, const PlyDocument& document, const float* xyz);

/// The text layout of a PLY cloud: x, y, z and then the vertex's other properties, in
/// their order, as columns (the CSV header names them), with the document's origin. Values of
/// ascii files are copied as they are; binary coordinates are written as the shortest decimal
/// that reads back to their value in double, the other binary values as integers or as the
/// shortest decimal that reads back to the same bits.
///   source, target  in  the file names, for messages
/// Throws vandrel::Error "Vandrel:cannotConvert" when the file holds what a text file has
/// no place for: records of another element, or a list property of the vertices.
TextTable table_from_ply(const PlyDocument& document, const std::string& source, const std::string& target);

/// The PLY layout of a text cloud: an ascii file with x, y, z (float, or double when the
/// table's origin is not 0) and one property per extra column, named by the CSV header where
/// it has a usable name, "field<column>" otherwise, of type int when every value of the
/// column is a 32-bit integer and double otherwise. Values, coordinates included, are copied
/// as they are.
///   n  in  the table's row count
/// Throws vandrel::Error "Vandrel:cannotConvert" for an extra field that is not a number.
PlyDocument ply_from_table(const TextTable& table, std::int64_t n, const std::string& source,
                           const std::string& target);

}  // namespace vandrel
