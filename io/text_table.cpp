#include "text_table.h"

#include <algorithm>
#include <cmath>

#include "io/byte_values.h"
#include "io/number_text.h"
#include "vandrel/error.h"

namespace vandrel {
namespace {

// Output is gathered in a buffer and handed to the stream in pieces of about this size.
constexpr std::size_t flush_size = 1 << 20;

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (is_blank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (is_blank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

void split_whitespace(std::string_view line, std::vector<std::string_view>& fields) {
  fields.clear();
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (is_blank(line[i]) || line[i] == '\r')) ++i;
    const std::size_t begin = i;
    while (i < line.size() && !is_blank(line[i]) && line[i] != '\r') ++i;
    if (i > begin) fields.push_back(line.substr(begin, i - begin));
  }
}

[[noreturn]] void fail(const std::string& name, std::int64_t line, const std::string& what) {
  throw Error("Vandrel:badTextFile", name + ": line " + std::to_string(line) + ": " + what);
}

// Reads field `column` (0-based) of a row as a coordinate, in double: NaN passes, infinity
// does not, and the value must round to a finite float.
double coordinate(std::string_view field, const std::string& name, std::int64_t line, std::int32_t column) {
  double value = 0.0;
  const auto where = [&] { return "field " + std::to_string(column + 1) + " ('" + printable_excerpt(field) + "') "; };
  if (!parse_double(field, value)) {
    if (looks_like_number(field)) fail(name, line, where() + "is out of single-precision range");
    fail(name, line, where() + "is not a number");
  }
  if (std::isinf(value)) fail(name, line, where() + "is not a finite number");
  if (!fits_single(value)) fail(name, line, where() + "is out of single-precision range");
  return value;
}

bool is_comment(std::string_view line) {
  line = trimmed(line);
  return !line.empty() && line.front() == '#';
}

// A header's name for a field: trimmed, without surrounding quotes.
std::string_view label_of(std::string_view field) {
  if (field.size() >= 2 && field.front() == '"' && field.back() == '"')
    field = trimmed(field.substr(1, field.size() - 2));
  return field;
}

// The field named x, y or z in any case (0, 1, 2), or -1.
int axis_named(std::string_view field) {
  const std::string_view label = label_of(field);
  if (label.size() != 1) return -1;
  const char c = static_cast<char>(label[0] | 0x20);
  return c == 'x' ? 0 : c == 'y' ? 1 : c == 'z' ? 2 : -1;
}

bool is_text(std::string_view field) { return !field.empty() && !looks_like_number(field); }

// A CSV file's first line is a header when it holds text where coordinates would be.
bool is_header(const std::vector<std::string_view>& fields) {
  for (std::size_t k = 0; k < fields.size(); ++k)
    if (is_text(fields[k]) && (k < 3 || axis_named(fields[k]) >= 0)) return true;
  return false;
}

// The fields holding x, y, z by a header's names: all three named (first of each name), or 0, 1, 2.
std::array<std::int32_t, 3> coordinate_fields_of(const std::vector<std::string_view>& header) {
  std::array<std::int32_t, 3> named{-1, -1, -1};
  for (std::size_t k = 0; k < header.size(); ++k) {
    const int axis = axis_named(header[k]);
    if (axis >= 0 && named[static_cast<std::size_t>(axis)] < 0)
      named[static_cast<std::size_t>(axis)] = static_cast<std::int32_t>(k);
  }
  if (named[0] < 0 || named[1] < 0 || named[2] < 0) return {0, 1, 2};
  return named;
}

// ';' separates the fields of a CSV line that has it but no ','.
char delimiter_of(std::string_view line) {
  return line.find(',') == std::string_view::npos && line.find(';') != std::string_view::npos ? ';' : ',';
}

}  // namespace

void append_coordinate(std::string& out, std::string_view as_read, float filtered, double origin) {
  double original = 0.0;
  if (parse_double(as_read, original) && is_unchanged(relative_coordinate(original, origin), filtered)) {
    out.append(as_read);
  } else if (origin == 0.0) {
    append_float9(out, filtered);
  } else {
    // Added in double: the sum keeps the detail that single precision lacks far from zero.
    append_shortest(out, static_cast<double>(filtered) + origin);
  }
}

std::string_view TextTable::extra(std::int64_t row, std::int32_t column) const {
  const std::int64_t k = row * extra_columns + column;
  const std::int64_t begin = k == 0 ? 0 : extra_end[static_cast<std::size_t>(k - 1)];
  const std::int64_t end = extra_end[static_cast<std::size_t>(k)];
  return std::string_view(extra_text).substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

void TextTable::add_extra(std::string_view field) {
  extra_text.append(field);
  extra_end.push_back(static_cast<std::int64_t>(extra_text.size()));
}

bool split_csv_line(std::string_view line, std::vector<std::string_view>& fields, char delimiter) {
  fields.clear();
  std::size_t begin = 0;
  bool quoted = false;
  for (std::size_t i = 0; i <= line.size(); ++i) {
    if (i == line.size() || (!quoted && line[i] == delimiter)) {
      fields.push_back(trimmed(line.substr(begin, i - begin)));
      begin = i + 1;
    } else if (line[i] == '"') {
      // A doubled quote inside a quoted field stands for one quote and keeps it open.
      quoted = !quoted;
    }
  }
  return !quoted;
}

std::string_view line_at(std::string_view content, std::size_t at, std::size_t& next) {
  std::size_t end = at;
  while (end < content.size() && content[end] != '\n' && content[end] != '\r') ++end;
  next = end;
  if (next < content.size()) {
    const bool crlf = content[next] == '\r' && next + 1 < content.size() && content[next + 1] == '\n';
    next += crlf ? 2 : 1;
  }
  return content.substr(at, end - at);
}

std::int32_t TextTable::field_of_extra(std::int32_t column) const {
  // Extra columns fill the fields the coordinates leave, in order.
  std::array<std::int32_t, 3> taken = coordinate_fields;
  std::sort(taken.begin(), taken.end());
  std::int32_t field = column;
  for (const std::int32_t t : taken)
    if (t <= field) ++field;
  return field;
}

TextTable read_text_table(std::string_view content, TextDialect dialect, const std::string& name,
                          std::vector<float>& xyz) {
  TextTable table;
  table.dialect = dialect;
  std::vector<double> columns[3];
  std::vector<std::string_view> fields;
  std::vector<bool> is_coordinate;
  std::int64_t line_number = 0;
  std::int64_t first_row_line = 0;
  std::size_t width = 0;
  bool seen_line = false;
  std::size_t at = 0;
  while (at < content.size()) {
    std::size_t next = 0;
    std::string_view line = line_at(content, at, next);
    at = next;
    ++line_number;
    // Only the file's first bytes can be a byte-order mark; elsewhere they are text.
    if (line.data() == content.data() && line.starts_with(byte_order_mark)) line.remove_prefix(3);
    if (trimmed(line).empty()) continue;
    if (is_comment(line)) {
      if (!seen_line) table.comments.append(trimmed(line)).push_back('\n');
      continue;
    }

    const bool first = !seen_line;
    seen_line = true;
    if (dialect == TextDialect::csv) {
      if (first) table.delimiter = delimiter_of(line);
      if (!split_csv_line(line, fields, table.delimiter)) fail(name, line_number, "a quoted field is not closed");
      if (first && is_header(fields)) {
        table.header = std::string(trimmed(line));
        table.coordinate_fields = coordinate_fields_of(fields);
        continue;
      }
    } else {
      split_whitespace(line, fields);
    }
    if (first_row_line == 0) {
      const auto widest = static_cast<std::size_t>(
          *std::max_element(table.coordinate_fields.begin(), table.coordinate_fields.end()));
      if (fields.size() < 3)
        fail(name, line_number,
             "expected at least 3 fields (x, y, z), found " + std::to_string(fields.size()));
      if (fields.size() <= widest)
        fail(name, line_number,
             "expected at least " + std::to_string(widest + 1) + " fields, as the header has z, y or x in field " +
                 std::to_string(widest + 1) + ", found " + std::to_string(fields.size()));
      first_row_line = line_number;
      width = fields.size();
      table.extra_columns = static_cast<std::int32_t>(width - 3);
      is_coordinate.assign(width, false);
      for (const std::int32_t f : table.coordinate_fields) is_coordinate[static_cast<std::size_t>(f)] = true;
    } else if (fields.size() != width) {
      fail(name, line_number,
           "expected " + std::to_string(width) + " fields as on line " + std::to_string(first_row_line) +
               ", found " + std::to_string(fields.size()));
    }
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const std::int32_t f = table.coordinate_fields[axis];
      const std::string_view field = fields[static_cast<std::size_t>(f)];
      columns[axis].push_back(coordinate(field, name, line_number, f));
      table.coordinate_text.append(field).push_back('\n');
    }
    for (std::size_t c = 0; c < width; ++c)
      if (!is_coordinate[c]) table.add_extra(fields[c]);
  }
  if (first_row_line == 0)
    throw Error("Vandrel:badTextFile",
                name + (seen_line ? ": holds a header line but no points" : ": holds no points (the file is empty)"));

  const std::size_t n = columns[0].size();
  std::vector<double> values(3 * n);
  for (std::size_t axis = 0; axis < 3; ++axis) {
    std::copy(columns[axis].begin(), columns[axis].end(), values.begin() + static_cast<std::ptrdiff_t>(axis * n));
    columns[axis] = {};
  }
  table.origin = origin_when_far(values);
  xyz.resize(3 * n);
  for (std::size_t k = 0; k < 3 * n; ++k) xyz[k] = relative_coordinate(values[k], table.origin[k / n]);
  return table;
}

void write_text_table(std::ostream& out, const TextTable& table, TextDialect dialect, const float* xyz,
                      std::int64_t n) {
  const bool csv = dialect == TextDialect::csv;
  const char separator = !csv ? ' ' : table.dialect == TextDialect::csv ? table.delimiter : ',';
  // Without the header, nothing would say where the coordinates are: they go first.
  const std::array<std::int32_t, 3> places =
      csv ? table.coordinate_fields : std::array<std::int32_t, 3>{0, 1, 2};
  const std::int32_t width = table.extra_columns + 3;
  std::string buffer;
  if (dialect == table.dialect) buffer.append(table.comments);
  if (csv && !table.header.empty()) buffer.append(table.header).push_back('\n');
  // The reader skips a byte-order mark at the start; one written first keeps a header's own bytes.
  if (std::string_view(buffer).starts_with(byte_order_mark)) buffer.insert(0, byte_order_mark);
  std::size_t coordinate_at = 0;
  std::array<std::string_view, 3> as_read;
  for (std::int64_t row = 0; row < n; ++row) {
    for (std::string_view& text : as_read) {
      const std::size_t end = table.coordinate_text.find('\n', coordinate_at);
      text = std::string_view(table.coordinate_text).substr(coordinate_at, end - coordinate_at);
      coordinate_at = end + 1;
    }
    std::int32_t extra = 0;
    for (std::int32_t field = 0; field < width; ++field) {
      if (field > 0) buffer.push_back(separator);
      const auto axis = static_cast<std::size_t>(std::find(places.begin(), places.end(), field) - places.begin());
      if (axis < 3)
        append_coordinate(buffer, as_read[axis], xyz[static_cast<std::int64_t>(axis) * n + row], table.origin[axis]);
      else
        buffer.append(table.extra(row, extra++));
    }
    buffer.push_back('\n');
    if (buffer.size() >= flush_size) {
      out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      buffer.clear();
    }
  }
  out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
}

}  // namespace vandrel
