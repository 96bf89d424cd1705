#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "io/las_file.h"
#include "io/npy_file.h"
#include "io/pcd_file.h"
#include "io/ply_file.h"
#include "io/text_table.h"

namespace vandrel {

enum class PointFormat { ply, xyz, csv, pcd, las, npy };

/// The format a file name's extension names, in any case: .ply, .xyz or .txt (both
/// whitespace-separated), .csv, .pcd, .las, .npy. Throws vandrel::Error
/// "Vandrel:unknownFormat" otherwise, and for .laz a message saying to decompress first.
PointFormat format_of(const std::filesystem::path& path);

/// The format named by `name` as the command line gives it: ply, xyz, txt, csv, pcd, las
/// or npy (lower case); nullopt for anything else.
std::optional<PointFormat> format_named(std::string_view name);

/// The format of INPUT or OUTPUT as the command line names it: `given` (its --format) for
/// "-" (standard input or output) and for a file whose extension names no format, the
/// extension's format otherwise. Throws vandrel::Error "Vandrel:unknownFormat" when
/// neither says (see format_of).
PointFormat format_for(const std::string& name, std::optional<PointFormat> given);

/// A point file as read: the coordinates, and the rest of the file kept to be written back.
struct PointFile {
  std::int64_t size = 0;
  std::vector<float> xyz;  // column-major size x 3, minus the layout's origin
  std::variant<PlyDocument, TextTable, PcdDocument, LasDocument, NpyDocument> layout;
};

/// Reads a point file in the format its extension names. Throws vandrel::Error naming the
/// file for one that cannot be read or is malformed (see read_ply, read_text_table).
PointFile read_point_file(const std::filesystem::path& path);

/// Reads a point file in `format`, from standard input when `name` is "-".
PointFile read_point_input(const std::string& name, PointFormat format);

/// Parses a point file's bytes in `format`; `name` names it in messages.
PointFile read_point_data(std::string content, PointFormat format, const std::string& name);

/// The class of each point of `file`: the LAS classification (see las_classes); empty for
/// other formats.
std::vector<std::uint8_t> point_classes(const PointFile& file);

/// The return of each point of `file` (see las_returns); empty for formats other than LAS.
std::vector<LasReturn> point_returns(const PointFile& file);

/// Makes the layout of `file` one that `format` can hold: PLY stays PLY and text stays
/// text; between the two, see table_from_ply and ply_from_table. PCD, LAS and NPY files
/// are written back only in their own format. Throws vandrel::Error
/// "Vandrel:cannotConvert" when data would be lost or the conversion is not supported,
/// before anything is written.
void convert_layout(PointFile& file, PointFormat format, const std::string& source, const std::string& target);

/// Writes `file`'s layout with the coordinates `xyz` (column-major file.size x 3) to
/// `path` in `format`, which the layout must hold (see convert_layout). The bytes go to a
/// temporary file beside `path` that replaces it only once complete, so a failed write
/// leaves `path` as it was; a file it replaces passes its permissions on. A `path` that is
/// a symbolic link is written through: the file it leads to is replaced, the link kept.
/// Where the file system has unnamed files (O_TMPFILE), the temporary file has a name only
/// from the moment it is complete to its rename, so that even a killed process leaves
/// nothing behind; elsewhere the temporary name is "." + the file name (cut to fit
/// NAME_MAX) + a random tag + ".tmp". Throws vandrel::Error "Vandrel:cannotWrite" naming
/// the file.
///
/// Checked before any work by check_output_folder.
void write_point_file(const std::filesystem::path& path, const PointFile& file, const float* xyz, PointFormat format);

/// Checks that `path` can be written as write_point_file writes it: that it is not a
/// directory and that its folder (that of the file a symbolic link leads to) exists and
/// is writable. Throws vandrel::Error "Vandrel:cannotWrite" naming the file and the folder.
void check_output_folder(const std::filesystem::path& path);

/// Writes a file as write_point_file does: `write` gives the bytes to a temporary file
/// beside `path` (recorded for remove_unfinished_output) that replaces `path` only once
/// complete, passing on the permissions of a file it replaces; on any failure, and when
/// `write` throws, the temporary file is removed and `path` left as it was. Throws what
/// `write` throws, and vandrel::Error "Vandrel:cannotWrite" naming `path` when the file
/// cannot be written.
void replace_file(const std::filesystem::path& path, const std::function<void(std::ostream&)>& write);

/// Removes the temporary file of the write_point_file or replace_file call in progress, if any (one call
/// at a time is tracked: the first of concurrent ones). Async-signal-safe: meant for a
/// handler of SIGINT, SIGTERM or SIGHUP that then ends the process.
void remove_unfinished_output() noexcept;

/// Writes like write_point_file, to standard output when `name` is "-" (directly, without
/// a temporary file). Throws vandrel::Error "Vandrel:cannotWrite" when standard output
/// fails.
void write_point_output(const std::string& name, const PointFile& file, const float* xyz, PointFormat format);

/// Writes the bytes of `file`'s layout with the coordinates `xyz` in `format` to `out`.
/// Every check that can refuse the data (LAS coordinate range, PCD compression) comes
/// before the first byte is written. `name` names the output in messages.
void write_point_data(std::ostream& out, const PointFile& file, const float* xyz, PointFormat format,
                      const std::string& name);

}  // namespace vandrel
