#pragma once
#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "io/byte_values.h"

namespace vandrel {

/// A NumPy .npy file as read: its bytes, kept whole so that it is written back with only
/// the coordinate values replaced, and the shape of its array.
struct NpyDocument {
  std::string content;
  bool little_endian = true;
  bool is_double = false;       // float64, else float32
  bool fortran_order = false;   // column-major, else row-major
  std::int64_t rows = 0;        // points
  std::int64_t columns = 0;     // >= 3: x, y, z, then columns carried through
  std::size_t data_begin = 0;   // of the array in `content`
  /// float64 files: subtracted from the coordinates before they are rounded to single (see
  /// centre_of_doubles); 0 for float32.
  std::array<double, 3> origin{};
};

/// Parses a .npy file, format version 1.0, 2.0 or 3.0, holding a 2-D float32 or float64
/// array (either byte order, C or Fortran order) of N x k, k >= 3: the first three columns
/// are x, y, z and the others are kept as they are. Coordinates are finite and within
/// single-precision range, or NaN (the row is then left alone by the filter).
///   content  in   the file's bytes (moved into the document)
///   name     in   the file's name, for messages
///   xyz      out  column-major N x 3 coordinates minus origin, rounded to single
/// Throws vandrel::Error "Vandrel:badNpyFile" naming the file for a malformed or truncated
/// file, another dtype or shape, a bad coordinate (naming row and column) or no rows. Reentrant.
NpyDocument read_npy(std::string content, const std::string& name, std::vector<float>& xyz);

/// Writes the document back byte for byte, header included (same dtype, order and shape),
/// with the x, y, z values replaced by `xyz` + origin (column-major N x 3) in the file's dtype. A
/// value equal to the one read, rounded to single, keeps its original bytes.
/// Stream errors are left in the stream's state. Reentrant.
void write_npy(std::ostream& out, const NpyDocument& document, const float* xyz);

// The parts of read_npy and write_npy that a file read a block of rows at a time shares.

/// Parses the preamble and header of a .npy file of `file_size` bytes, which `read` gives,
/// with every check of read_npy that needs no coordinate. Returns the document without
/// content, with origin 0. Throws what read_npy throws for such faults.
NpyDocument npy_layout(std::uint64_t file_size, const ReadFileBytes& read, const std::string& name);

/// The element whose bytes start at `p`, in `layout`'s dtype and byte order, in double.
double npy_value(const NpyDocument& layout, const char* p);

/// Throws vandrel::Error "Vandrel:badNpyFile" naming `row` (0-based) and `axis` when the
/// coordinate `value` is infinite or beyond single-precision range (NaN passes).
void check_npy_coordinate(double value, std::int64_t row, std::size_t axis, const std::string& name);

/// Stores `filtered` + the origin of `axis` over the element at `p` in `layout`'s dtype,
/// unless the element, read as the filter sees it, equals `filtered` (see is_unchanged).
void store_npy_coordinate(const NpyDocument& layout, char* p, std::size_t axis, float filtered);

}  // namespace vandrel
