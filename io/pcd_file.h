#pragma once
#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace vandrel {

/// How a PCD file stores its points: text lines, packed records, or LZF-compressed
/// blocks of one field each.
enum class PcdData { ascii, binary, binary_compressed };

/// A PCD file (version 0.7) as read: its header and point data, kept to be written back
/// with only the coordinate values replaced.
struct PcdDocument {
  PcdData data = PcdData::ascii;
  std::string header;   // every byte up to and including the DATA line
  std::string body;     // ascii: the text after the header; binary: the records;
                        // binary_compressed: the decompressed field blocks
  std::string trailer;  // bytes after the binary data, kept as they are
  std::int64_t points = 0;
  /// Binary kinds: the value of point i on axis a (0 x, 1 y, 2 z) starts at
  /// body[coordinate_begin[a] + i * coordinate_stride[a]] and takes coordinate_size[a] bytes.
  std::array<std::size_t, 3> coordinate_begin{};
  std::array<std::size_t, 3> coordinate_stride{};
  std::array<std::size_t, 3> coordinate_size{};  // 4 or 8, in every DATA kind
  /// Subtracted from coordinates held in 8 bytes before they are rounded to single (see
  /// centre_of_doubles); 0 for 4-byte ones.
  std::array<double, 3> origin{};
  /// Ascii: byte ranges in `body` of the coordinate values, 3 per point in the order they
  /// come on the line; the k-th of a line is axis token_axis[k].
  std::vector<std::size_t> token_begin;
  std::vector<std::size_t> token_end;
  std::array<int, 3> token_axis{0, 1, 2};
};

/// Parses a PCD file, version 0.7 (and the 0.6 header without VERSION/VIEWPOINT), DATA
/// ascii, binary or binary_compressed, any FIELDS with any SIZE, TYPE and COUNT. Fields x,
/// y and z must be of TYPE F, SIZE 4 or 8, COUNT 1; every other field is kept as it is.
/// Organised clouds (HEIGHT > 1) are read row after row, WIDTH x HEIGHT points; a point
/// whose coordinates are NaN stays NaN (the filter leaves such rows alone). Infinite
/// coordinates and finite ones beyond single-precision range are refused.
///   content  in   the file's bytes
///   name     in   the file's name, for messages
///   xyz      out  column-major n x 3 coordinates minus origin, n = WIDTH x HEIGHT
/// Throws vandrel::Error "Vandrel:badPcdFile" naming the file and the header line or the
/// point where the file is malformed, truncated, fails to decompress or has no points.
/// Reentrant.
PcdDocument read_pcd(std::string content, const std::string& name, std::vector<float>& xyz);

/// What a PCD header says of the data after it, for sizing memory before a file is read.
struct PcdShape {
  PcdData data = PcdData::ascii;
  std::int64_t points = 0;         // WIDTH x HEIGHT
  std::size_t point_bytes = 0;     // the bytes of one point's fields (binary kinds)
  std::uint64_t unpacked_bytes = 0;  // binary_compressed: the unpacked size the file declares
};

/// Reads the header at the start of `head` (a PCD file's first bytes, or all of them) as
/// read_pcd does. Throws vandrel::Error "Vandrel:badPcdFile" as read_pcd does for a
/// malformed header, and for one that does not end within `head`. Reentrant.
PcdShape read_pcd_shape(std::string head, const std::string& name);

/// Writes the document back in its own DATA kind, header unchanged, with x, y, z replaced
/// by `xyz` + origin (column-major n x 3) in each field's size (ascii: 9 significant
/// digits for SIZE 4, the shortest decimal that reads back for SIZE 8). A
/// value equal to the one read, rounded to single, keeps its original bytes or text.
/// binary_compressed data are compressed again with LZF.
///   name  in  the output's name, for messages
/// Throws vandrel::Error "Vandrel:cannotWrite" when compression fails, before writing
/// anything; stream errors are left in the stream's state. Reentrant.
void write_pcd(std::ostream& out, const PcdDocument& document, const float* xyz, const std::string& name);

}  // namespace vandrel
