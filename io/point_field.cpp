#include "io/point_field.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>

#include "io/byte_values.h"
#include "io/number_text.h"
#include "vandrel/error.h"

namespace vandrel {
namespace {

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

[[noreturn]] void no_field(std::string_view name, const std::string& source, const std::string& there) {
  throw Error("Vandrel:unknownField", "'" + source + "' has no field '" + std::string(name) + "'" +
                                          (there.empty() ? "" : "; its fields are " + there));
}

double text_value(std::string_view text) {
  double value = 0.0;
  return parse_double(text, value) ? value : std::numeric_limits<double>::quiet_NaN();
}

// Reads word `column` of each non-blank line of `text` from byte `at` into values, in turn,
// until every value is read or the text ends.
void read_text_column(std::string_view text, std::size_t at, std::size_t column, std::vector<double>& values) {
  std::size_t next = 0;
  for (std::size_t i = 0; i < values.size() && at < text.size(); at = next) {
    const std::string_view line = line_at(text, at, next);
    std::istringstream words{std::string(line)};
    std::string word;
    std::size_t k = 0;
    bool any = false;
    while (words >> word) {
      any = true;
      if (k++ == column) {
        values[i] = text_value(word);
        break;
      }
    }
    if (any) ++i;
    if (next <= at) break;
  }
}

// The file's own coordinate `axis` of every point: the read value plus the layout's origin.
std::vector<double> coordinates(const PointFile& file, int axis, double origin) {
  const auto n = static_cast<std::size_t>(file.size);
  std::vector<double> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<double>(file.xyz[static_cast<std::size_t>(axis) * n + i]) + origin;
  return values;
}

int axis_named(std::string_view name) {
  for (int axis = 0; axis < 3; ++axis)
    if (same_name(name, std::string_view("xyz").substr(static_cast<std::size_t>(axis), 1))) return axis;
  return -1;
}

// The words of a PCD header line that starts with `key`, without it.
std::vector<std::string> header_words(const std::string& header, std::string_view key) {
  std::istringstream lines(header);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string first;
    words >> first;
    if (!same_name(first, key)) continue;
    std::vector<std::string> rest;
    for (std::string word; words >> word;) rest.push_back(word);
    return rest;
  }
  return {};
}

double pcd_binary_value(const char* p, char type, std::size_t size) {
  if (type == 'F') return size == 8 ? load_value<double>(p, true) : static_cast<double>(load_value<float>(p, true));
  if (type == 'U') {
    if (size == 1) return static_cast<double>(load_value<std::uint8_t>(p, true));
    if (size == 2) return static_cast<double>(load_value<std::uint16_t>(p, true));
    if (size == 4) return static_cast<double>(load_value<std::uint32_t>(p, true));
    return static_cast<double>(load_value<std::uint64_t>(p, true));
  }
  if (size == 1) return static_cast<double>(load_value<std::int8_t>(p, true));
  if (size == 2) return static_cast<double>(load_value<std::int16_t>(p, true));
  if (size == 4) return static_cast<double>(load_value<std::int32_t>(p, true));
  return static_cast<double>(load_value<std::int64_t>(p, true));
}

std::vector<double> pcd_field(const PointFile& file, const PcdDocument& pcd, std::string_view name,
                              const std::string& source) {
  const std::vector<std::string> fields = header_words(pcd.header, "FIELDS");
  const std::vector<std::string> sizes = header_words(pcd.header, "SIZE");
  const std::vector<std::string> types = header_words(pcd.header, "TYPE");
  std::vector<std::string> counts = header_words(pcd.header, "COUNT");
  if (counts.empty()) counts.assign(fields.size(), "1");
  std::string there;
  for (const std::string& f : fields) there += (there.empty() ? "" : ", ") + f;
  const auto found = std::find_if(fields.begin(), fields.end(), [&](const std::string& f) { return same_name(f, name); });
  if (found == fields.end()) no_field(name, source, there);
  const auto field = static_cast<std::size_t>(found - fields.begin());
  if (const int axis = axis_named(name); axis >= 0) return coordinates(file, axis, pcd.origin[static_cast<std::size_t>(axis)]);
  // The header was checked when the file was read: one SIZE, TYPE and COUNT per field.
  std::size_t before = 0;  // bytes (binary) or values (ascii) of a record ahead of the field
  std::size_t record = 0;
  std::size_t tokens_before = 0;
  for (std::size_t f = 0; f < fields.size(); ++f) {
    const std::size_t bytes = std::stoul(sizes[f]) * std::stoul(counts[f]);
    if (f < field) {
      before += bytes;
      tokens_before += std::stoul(counts[f]);
    }
    record += bytes;
  }
  if (counts[field] != "1")
    throw Error("Vandrel:unknownField", "field '" + fields[field] + "' of '" + source +
                                            "' holds " + counts[field] + " values per point, not one");
  const std::size_t size = std::stoul(sizes[field]);
  const char type = types[field].empty() ? 'F' : types[field][0];
  const auto n = static_cast<std::size_t>(pcd.points);
  std::vector<double> values(n);
  if (pcd.data == PcdData::ascii) {
    read_text_column(pcd.body, 0, tokens_before, values);
  } else {
    // Binary records hold the fields in turn; compressed data hold one block per field.
    const std::size_t begin = pcd.data == PcdData::binary ? before : before * n;
    const std::size_t stride = pcd.data == PcdData::binary ? record : size;
    for (std::size_t i = 0; i < n; ++i) values[i] = pcd_binary_value(pcd.body.data() + begin + i * stride, type, size);
  }
  return values;
}

double ply_binary_value(const char* p, PlyType type, bool little) {
  switch (type) {
    case PlyType::int8: return static_cast<double>(load_value<std::int8_t>(p, little));
    case PlyType::uint8: return static_cast<double>(load_value<std::uint8_t>(p, little));
    case PlyType::int16: return static_cast<double>(load_value<std::int16_t>(p, little));
    case PlyType::uint16: return static_cast<double>(load_value<std::uint16_t>(p, little));
    case PlyType::int32: return static_cast<double>(load_value<std::int32_t>(p, little));
    case PlyType::uint32: return static_cast<double>(load_value<std::uint32_t>(p, little));
    case PlyType::float32: return static_cast<double>(load_value<float>(p, little));
    case PlyType::float64: return load_value<double>(p, little);
  }
  return 0.0;
}

std::size_t ply_size(PlyType type) {
  switch (type) {
    case PlyType::int8: case PlyType::uint8: return 1;
    case PlyType::int16: case PlyType::uint16: return 2;
    case PlyType::int32: case PlyType::uint32: case PlyType::float32: return 4;
    case PlyType::float64: return 8;
  }
  return 0;
}

std::vector<double> ply_field(const PointFile& file, const PlyDocument& ply, std::string_view name,
                              const std::string& source) {
  const PlyElement& vertices = ply.elements[ply.vertex];
  std::string there;
  for (const PlyProperty& p : vertices.properties) there += (there.empty() ? "" : ", ") + p.name;
  const auto found = std::find_if(vertices.properties.begin(), vertices.properties.end(),
                                  [&](const PlyProperty& p) { return same_name(p.name, name); });
  if (found == vertices.properties.end()) no_field(name, source, there);
  if (const int axis = axis_named(name); axis >= 0) return coordinates(file, axis, ply.origin[static_cast<std::size_t>(axis)]);
  const auto property = static_cast<std::size_t>(found - vertices.properties.begin());
  if (found->is_list) throw Error("Vandrel:unknownField", "property '" + found->name + "' of '" + source + "' is a list, not one value per point");
  const bool has_lists = std::any_of(vertices.properties.begin(), vertices.properties.end(),
                                     [](const PlyProperty& p) { return p.is_list; });
  if (has_lists)
    throw Error("Vandrel:unknownField", "the vertices of '" + source + "' have list properties: their field '" +
                                            found->name + "' is not read by name");
  const auto n = static_cast<std::size_t>(vertices.count);
  std::vector<double> values(n);
  if (ply.format == PlyFormat::ascii) {
    read_text_column(std::string_view(ply.content.data(), vertices.end), vertices.begin, property, values);
    return values;
  }
  std::size_t offset = 0;
  std::size_t record = 0;
  for (std::size_t p = 0; p < vertices.properties.size(); ++p) {
    if (p < property) offset += ply_size(vertices.properties[p].type);
    record += ply_size(vertices.properties[p].type);
  }
  const bool little = ply.format == PlyFormat::binary_little_endian;
  for (std::size_t i = 0; i < n; ++i)
    values[i] = ply_binary_value(ply.content.data() + vertices.begin + i * record + offset, found->type, little);
  return values;
}

std::string unquoted(std::string_view field) {
  while (!field.empty() && (field.front() == ' ' || field.front() == '\t')) field.remove_prefix(1);
  while (!field.empty() && (field.back() == ' ' || field.back() == '\t')) field.remove_suffix(1);
  if (field.size() >= 2 && field.front() == '"' && field.back() == '"') field = field.substr(1, field.size() - 2);
  return std::string(field);
}

std::vector<double> table_field(const PointFile& file, const TextTable& table, std::string_view name,
                                const std::string& source) {
  std::vector<std::string_view> header;
  if (table.dialect != TextDialect::csv || table.header.empty() || !split_csv_line(table.header, header, table.delimiter))
    throw Error("Vandrel:unknownField", "'" + source + "' names no fields: only PLY, PCD, LAS and CSV files with a header line do");
  std::string there;
  std::int32_t field = -1;
  for (std::size_t k = 0; k < header.size(); ++k) {
    const std::string label = unquoted(header[k]);
    there += (there.empty() ? "" : ", ") + label;
    if (field < 0 && same_name(label, name)) field = static_cast<std::int32_t>(k);
  }
  if (field < 0) no_field(name, source, there);
  for (int axis = 0; axis < 3; ++axis)
    if (table.coordinate_fields[static_cast<std::size_t>(axis)] == field)
      return coordinates(file, axis, table.origin[static_cast<std::size_t>(axis)]);
  std::int32_t column = 0;
  while (column < table.extra_columns && table.field_of_extra(column) != field) ++column;
  const auto n = static_cast<std::size_t>(file.size);
  std::vector<double> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = text_value(unquoted(table.extra(static_cast<std::int64_t>(i), column)));
  return values;
}

// The fields of a LAS point record that a user selects by, in every point format.
std::vector<double> las_field(const LasDocument& las, std::string_view name, const std::string& source) {
  const auto n = static_cast<std::size_t>(las.points);
  std::vector<double> values(n);
  const char* records = las.content.data() + las.points_begin;
  const bool extended = las.point_format >= 6;
  if (same_name(name, "classification")) {
    const std::vector<std::uint8_t> classes = las_classes(las);
    for (std::size_t i = 0; i < n; ++i) values[i] = classes[i];
  } else if (same_name(name, "return_number") || same_name(name, "number_of_returns")) {
    const std::vector<LasReturn> returns = las_returns(las);
    const bool number = same_name(name, "return_number");
    for (std::size_t i = 0; i < n; ++i) values[i] = number ? returns[i].number : returns[i].count;
  } else if (same_name(name, "intensity") || same_name(name, "point_source_id")) {
    // Intensity follows the coordinates in every format; the source id ends the legacy
    // formats' first 20 bytes and the extended ones' first 22.
    const std::size_t at = same_name(name, "intensity") ? 12 : (extended ? 20 : 18);
    for (std::size_t i = 0; i < n; ++i) values[i] = load_value<std::uint16_t>(records + i * las.record_length + at, true);
  } else if (same_name(name, "user_data")) {
    for (std::size_t i = 0; i < n; ++i) values[i] = load_value<std::uint8_t>(records + i * las.record_length + 17, true);
  } else {
    no_field(name, source, "classification, intensity, return_number, number_of_returns, user_data, point_source_id");
  }
  return values;
}

}  // namespace

std::vector<double> point_field(const PointFile& file, std::string_view name, const std::string& source) {
  if (const auto* pcd = std::get_if<PcdDocument>(&file.layout)) return pcd_field(file, *pcd, name, source);
  if (const auto* ply = std::get_if<PlyDocument>(&file.layout)) return ply_field(file, *ply, name, source);
  if (const auto* table = std::get_if<TextTable>(&file.layout)) return table_field(file, *table, name, source);
  if (const auto* las = std::get_if<LasDocument>(&file.layout)) return las_field(*las, name, source);
  throw Error("Vandrel:unknownField", "'" + source + "' names no fields: only PLY, PCD, LAS and CSV files with a header line do");
}

std::optional<std::array<double, 3>> pcd_sensor_position(const PointFile& file) {
  const auto* pcd = std::get_if<PcdDocument>(&file.layout);
  if (pcd == nullptr) return std::nullopt;
  const std::vector<std::string> viewpoint = header_words(pcd->header, "VIEWPOINT");
  std::array<double, 3> position{};
  for (std::size_t c = 0; c < 3 && c < viewpoint.size(); ++c) {
    double value = 0.0;
    if (parse_double(viewpoint[c], value) && std::isfinite(value)) position[c] = value;
  }
  return position;
}

std::int64_t pcd_grid_height(const PointFile& file) {
  const auto* pcd = std::get_if<PcdDocument>(&file.layout);
  if (pcd == nullptr) return 0;
  const std::vector<std::string> height = header_words(pcd->header, "HEIGHT");
  long long rows = 1;
  if (height.size() == 1 && parse_integer(height[0], rows) && rows >= 1) return rows;
  return 1;
}

}  // namespace vandrel
