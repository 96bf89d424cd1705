#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel {

/// How the fields of a line are separated: runs of spaces and tabs (XYZ and TXT files),
/// or commas, with double-quoted fields that may hold commas (CSV files).
enum class TextDialect { whitespace, csv };

/// Everything in a text point file besides the coordinates, kept to be written back:
/// the first three columns of every row are x, y, z; the columns after them are copied
/// through as text, unchanged.
struct TextTable {
  /// A CSV file's header line as it was, without its line end; empty when there is none.
  std::string header;
  /// Columns after x, y, z on every row.
  std::int32_t extra_columns = 0;
  /// The extra fields, row after row, back to back; field k ends at extra_end[k].
  std::string extra_text;
  std::vector<std::int64_t> extra_end;

  std::string_view extra(std::int64_t row, std::int32_t column) const;
  void add_extra(std::string_view field);
};

/// Parses a text point file. One row per line, "\n" or "\r\n" ends; blank lines are
/// skipped. In CSV, a first line whose first field is not a number is the header. Every
/// row has the same number of fields, at least 3, and its first three are finite numbers
/// within single-precision range.
///   content  in   the file's bytes (a UTF-8 byte-order mark at the start is skipped)
///   name     in   the file's name, for messages
///   xyz      out  column-major n x 3 coordinates, each correctly rounded to single
/// Throws vandrel::Error "Vandrel:badTextFile" naming the file and line for a malformed
/// row and for a file without rows. Reentrant.
TextTable read_text_table(std::string_view content, TextDialect dialect, const std::string& name,
                          std::vector<float>& xyz);

/// Writes one row per point in row order: x, y, z with 9 significant digits, then the
/// extra fields as they were read, separated by a space or a comma. CSV output starts with
/// the header line when there is one. Lines end with "\n".
///   xyz  in  column-major n x 3, where n is the number of rows in `table`
/// Stream errors are left in the stream's state. Reentrant.
void write_text_table(std::ostream& out, const TextTable& table, TextDialect dialect, const float* xyz,
                      std::int64_t n);

/// Splits a CSV line into its fields, trimmed of surrounding spaces and tabs; quoted fields
/// keep their quotes. Returns false for a quote left open.
bool split_csv_line(std::string_view line, std::vector<std::string_view>& fields);

}  // namespace vandrel
