#pragma once
// Point files read and written a block of rows at a time, for clouds larger than memory.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <span>
#include <string>

#include "vandrel/point.h"
#include "io/point_file.h"

namespace vandrel {

/// Whether read_point_stream can open files of `format`: those whose points are
/// fixed-size records, .npy and .las (a Fortran-order .npy is refused when opened).
bool readable_in_blocks(PointFormat format);

/// A point file on disk, opened without reading it into memory. The coordinates it gives
/// and the bytes it writes are those of read_point_file and write_point_file for the same
/// file, bit for bit: the same origin, the same checks, the same rule that a coordinate
/// equal to the one read keeps its bytes.
class PointStream {
 public:
  virtual ~PointStream() = default;
  /// Points in the file (rows, NaN ones included).
  virtual std::int64_t rows() const = 0;
  /// Rows [first, first + out.size()) as x, y, z triples minus the file's origin, rounded
  /// to single. Throws vandrel::Error "Vandrel:cannotRead" naming the file when it can no
  /// longer be read (changed or cut short since it was opened).
  virtual void read(std::int64_t first, std::span<Point> out) const = 0;
  /// The classes of rows [first, first + out.size()) (see point_classes): false, leaving
  /// `out` as it is, for a file that has none (all but LAS). Throws like read.
  virtual bool read_classes(std::int64_t /*first*/, std::span<std::uint8_t> /*out*/) const { return false; }
  /// Writes the file to `out`, header and every other byte as they are, with the coordinates
  /// of row i replaced by those `filtered` gives (relative to the origin, like read):
  /// filtered(first, span) fills the span with rows [first, first + span.size()), ascending,
  /// and may be called more than once for the same rows. Every check that can refuse the
  /// data (a LAS coordinate beyond 32 bits) comes before the first byte is written, so
  /// `out` may be standard output. `name` names the output in messages.
  /// Throws vandrel::Error "Vandrel:cannotWrite" (refused data) or "Vandrel:cannotRead".
  virtual void write(std::ostream& out,
                     const std::function<void(std::int64_t first, std::span<Point> rows)>& filtered,
                     const std::string& name) const = 0;
};

/// Rows a stream holds at a time unless told otherwise.
constexpr std::int64_t default_stream_block_rows = std::int64_t{1} << 16;

/// Opens `path` in `format`, reads its header and reads its coordinates once, to check them
/// and find the origin, holding no more than a block of rows at a time. Throws what
/// read_point_file throws for the same file (the same identifiers and messages), and
/// vandrel::Error "Vandrel:cannotStream" for a format or layout that is read only whole.
///   block_rows  in  rows held at a time by the stream's reads and writes (>= 1; fewer
///                   where the rows are long: at most 64 MiB of records)
/// The stream keeps the file open; its reads use no shared state and may run concurrently.
std::unique_ptr<PointStream> read_point_stream(const std::filesystem::path& path, PointFormat format,
                                               std::int64_t block_rows = default_stream_block_rows);

}  // namespace vandrel
