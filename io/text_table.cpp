#include "text_table.h"

#include <algorithm>
#include <cmath>

#include "io/number_text.h"
#include "api/error.h"

namespace vandrel {
namespace {

// Output is gathered in a buffer and handed to the stream in pieces of about this size.
constexpr std::size_t flush_size = 1 << 20;

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

// Reads field `column` (0-based) of a row as a coordinate.
float coordinate(std::string_view field, const std::string& name, std::int64_t line, int column) {
  float value = 0.0f;
  const std::string where = "field " + std::to_string(column + 1) + " ('" + std::string(field) + "') ";
  if (!parse_float(field, value)) {
    double wide = 0.0;
    if (parse_double(field, wide)) fail(name, line, where + "is out of single-precision range");
    fail(name, line, where + "is not a number");
  }
  if (!std::isfinite(value)) fail(name, line, where + "is not a finite number");
  return value;
}

}  // namespace

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

bool split_csv_line(std::string_view line, std::vector<std::string_view>& fields) {
  fields.clear();
  std::size_t begin = 0;
  bool quoted = false;
  for (std::size_t i = 0; i <= line.size(); ++i) {
    if (i == line.size() || (!quoted && line[i] == ',')) {
      fields.push_back(trimmed(line.substr(begin, i - begin)));
      begin = i + 1;
    } else if (line[i] == '"') {
      // A doubled quote inside a quoted field stands for one quote and keeps it open.
      quoted = !quoted;
    }
  }
  return !quoted;
}

TextTable read_text_table(std::string_view content, TextDialect dialect, const std::string& name,
                          std::vector<float>& xyz) {
  if (content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
  TextTable table;
  std::vector<float> columns[3];
  std::vector<std::string_view> fields;
  std::int64_t line_number = 0;
  std::int64_t first_row_line = 0;
  std::size_t width = 0;
  bool seen_line = false;
  std::size_t at = 0;
  while (at < content.size()) {
    std::size_t end = content.find('\n', at);
    if (end == std::string_view::npos) end = content.size();
    const std::string_view line = content.substr(at, end - at);
    at = end + 1;
    ++line_number;
    if (trimmed(line).empty()) continue;

    if (dialect == TextDialect::csv) {
      if (!split_csv_line(line, fields)) fail(name, line_number, "a quoted field is not closed");
    } else {
      split_whitespace(line, fields);
    }
    const bool first = !seen_line;
    seen_line = true;
    float ignored = 0.0f;
    if (first && dialect == TextDialect::csv && !parse_float(fields[0], ignored)) {
      table.header = std::string(trimmed(line));
      continue;
    }
    if (first_row_line == 0) {
      if (fields.size() < 3)
        fail(name, line_number,
             "expected at least 3 fields (x, y, z), found " + std::to_string(fields.size()));
      first_row_line = line_number;
      width = fields.size();
      table.extra_columns = static_cast<std::int32_t>(width - 3);
    } else if (fields.size() != width) {
      fail(name, line_number,
           "expected " + std::to_string(width) + " fields as on line " + std::to_string(first_row_line) +
               ", found " + std::to_string(fields.size()));
    }
    for (int axis = 0; axis < 3; ++axis)
      columns[axis].push_back(coordinate(fields[static_cast<std::size_t>(axis)], name, line_number, axis));
    for (std::size_t c = 3; c < width; ++c) table.add_extra(fields[c]);
  }
  if (first_row_line == 0)
    throw Error("Vandrel:badTextFile",
                name + (seen_line ? ": holds a header line but no points" : ": holds no points (the file is empty)"));

  const std::size_t n = columns[0].size();
  xyz.resize(3 * n);
  for (std::size_t axis = 0; axis < 3; ++axis)
    std::copy(columns[axis].begin(), columns[axis].end(), xyz.begin() + static_cast<std::ptrdiff_t>(axis * n));
  return table;
}

void write_text_table(std::ostream& out, const TextTable& table, TextDialect dialect, const float* xyz,
                      std::int64_t n) {
  const char separator = dialect == TextDialect::csv ? ',' : ' ';
  std::string buffer;
  if (dialect == TextDialect::csv && !table.header.empty()) buffer.append(table.header).push_back('\n');
  for (std::int64_t row = 0; row < n; ++row) {
    for (std::int64_t axis = 0; axis < 3; ++axis) {
      if (axis > 0) buffer.push_back(separator);
      append_float9(buffer, xyz[axis * n + row]);
    }
    for (std::int32_t c = 0; c < table.extra_columns; ++c) {
      buffer.push_back(separator);
      buffer.append(table.extra(row, c));
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
