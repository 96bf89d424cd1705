#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "io/ply_file.h"
#include "io/text_table.h"

namespace vandrel {

enum class PointFormat { ply, xyz, csv };

/// The format a file name's extension names, in any case: .ply, .xyz or .txt (both
/// whitespace-separated), .csv. Throws vandrel::Error "Vandrel:unknownFormat" otherwise.
PointFormat format_of(const std::filesystem::path& path);

/// A point file as read: the coordinates, and the rest of the file kept to be written back.
struct PointFile {
  std::int64_t size = 0;
  std::vector<float> xyz;  // column-major size x 3
  std::variant<PlyDocument, TextTable> layout;
};

/// Reads a point file in the format its extension names. Throws vandrel::Error naming the
/// file for one that cannot be read or is malformed (see read_ply, read_text_table).
PointFile read_point_file(const std::filesystem::path& path);

/// Makes the layout of `file` one that `format` can hold: PLY stays PLY and text stays
/// text; between the two, see table_from_ply and ply_from_table. Throws vandrel::Error
/// "Vandrel:cannotConvert" when data would be lost, before anything is written.
void convert_layout(PointFile& file, PointFormat format, const std::string& source, const std::string& target);

/// Writes `file`'s layout with the coordinates `xyz` (column-major file.size x 3) to
/// `path` in `format`, which the layout must hold (see convert_layout). The bytes go to a
/// temporary file beside `path` that replaces it only once complete, so a failed write
/// leaves `path` as it was; a file it replaces passes its permissions on. The temporary
/// name is "." + the file name (cut to fit NAME_MAX) + a random tag + ".tmp". Throws
/// vandrel::Error "Vandrel:cannotWrite" naming the file.
void write_point_file(const std::filesystem::path& path, const PointFile& file, const float* xyz, PointFormat format);

/// Removes the temporary file of the write_point_file call in progress, if any (one call
/// at a time is tracked: the first of concurrent ones). Async-signal-safe: meant for a
/// handler of SIGINT, SIGTERM or SIGHUP that then ends the process.
void remove_unfinished_output() noexcept;

}  // namespace vandrel
