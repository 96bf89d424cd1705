#pragma once
#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel {

/// How the fields of a line are separated: runs of spaces and tabs (XYZ and TXT files),
/// or commas, with double-quoted fields that may hold commas (CSV files).
enum class TextDialect { whitespace, csv };

/// Everything in a text point file besides the coordinates, kept to be written back: the
/// columns other than x, y, z are copied through as text, unchanged, in their places.
struct TextTable {
  /// The dialect the file was read in; CSV tables made from a PLY file say csv.
  TextDialect dialect = TextDialect::csv;
  /// The field separator of a CSV file: ',' or ';'.
  char delimiter = ',';
  /// Comment lines ("#" first) before the first row or header, each with a "\n" end.
  std::string comments;
  /// A CSV file's header line as it was, without its line end; empty when there is none.
  std::string header;
  /// Subtracted, in double, from every coordinate before it is rounded to single, and added
  /// back on output (see origin_when_far in io/byte_values.h); 0 for a cloud near zero.
  std::array<double, 3> origin{};
  /// The coordinate fields as written, row after row x, y, z, each followed by "\n": a
  /// coordinate the filter leaves as it was is written back as it came.
  std::string coordinate_text;
  /// The 0-based fields that hold x, y and z: those the header names so, else 0, 1, 2.
  std::array<std::int32_t, 3> coordinate_fields{0, 1, 2};
  /// Fields other than x, y, z on every row.
  std::int32_t extra_columns = 0;
  /// The extra fields, row after row, back to back; field k ends at extra_end[k].
  std::string extra_text;
  std::vector<std::int64_t> extra_end;

  std::string_view extra(std::int64_t row, std::int32_t column) const;
  void add_extra(std::string_view field);
  /// The 0-based field of a row that holds extra column `column`.
  std::int32_t field_of_extra(std::int32_t column) const;
};

/// The line of `content` that starts at `at`, without its line end; `next` receives where
/// the next line starts. A line ends at "\n", "\r\n", a lone "\r" (old Mac files) or
/// the end of the content. Reentrant.
std::string_view line_at(std::string_view content, std::size_t at, std::size_t& next);

/// Parses a text point file. One row per line (see line_at); blank lines and lines whose
/// first character other than a space or tab is "#" are skipped. In CSV, the first line is
/// a header when one of its first three fields, or a field named x, y or z, is text rather
/// than a number (a number out of range, such as 1e39, is a number); fields named x, y and
/// z in any case (quoted or not) are the coordinates, the first three fields otherwise. A
/// CSV file whose first line has ';' but no ',' is read with ';' as separator. Every row
/// has the same number of fields, at least 3; its coordinates are numbers within single-
/// precision range or NaN (an organised cloud's empty cells), never infinite.
///   content  in   the file's bytes (a UTF-8 byte-order mark at the very start is skipped;
///                 anywhere else those bytes are text)
///   name     in   the file's name, for messages
///   xyz      out  column-major n x 3 coordinates: each read in double, minus the table's
///                 origin, rounded to single once
/// Throws vandrel::Error "Vandrel:badTextFile" naming the file and line for a malformed
/// row and for a file without rows; quoted fields are cut and escaped (printable_excerpt).
/// Reentrant.
TextTable read_text_table(std::string_view content, TextDialect dialect, const std::string& name,
                          std::vector<float>& xyz);

/// Writes one row per point in row order: the coordinates and the extra fields. A coordinate
/// equal to the one read (minus origin, rounded to single; NaN matches NaN) keeps its text;
/// any other is written as xyz + origin: with 9 significant digits where the axis's origin
/// is 0, else as the shortest decimal that reads back to the same double. CSV output keeps
/// the header line, the separator (',' for a table read from a whitespace file) and the
/// coordinates in their fields; whitespace output has no header and puts x, y, z first.
/// Leading comment lines are written back when `dialect` is the one the table was read in.
/// Output whose first line would start with the bytes of a UTF-8 byte-order mark starts
/// with one, so that those bytes read back as text. Lines end with "\n".
///   xyz  in  column-major n x 3 relative to table.origin, n the number of rows in `table`
/// Stream errors are left in the stream's state. Reentrant.
void write_text_table(std::ostream& out, const TextTable& table, TextDialect dialect, const float* xyz,
                      std::int64_t n);

/// Appends one coordinate as write_text_table writes it: `as_read` (its text in the file)
/// when `filtered` is the value read from it (minus origin, rounded to single), else
/// filtered + origin as described there. Reentrant.
void append_coordinate(std::string& out, std::string_view as_read, float filtered, double origin);

/// Splits a CSV line into its fields at `delimiter`, trimmed of surrounding spaces and
/// tabs; quoted fields keep their quotes. Returns false for a quote left open.
bool split_csv_line(std::string_view line, std::vector<std::string_view>& fields, char delimiter = ',');

}  // namespace vandrel
