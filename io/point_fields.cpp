#include "io/point_fields.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "vandrel/error.h"
#include "io/byte_values.h"
#include "io/number_text.h"

namespace vandrel {
namespace {

[[noreturn]] void refuse(const std::string& name, const std::string& what) {
  throw Error("Vandrel:cannotConvert", "cannot write '" + name + "': " + what);
}

bool is_space(char c) { return c == ' ' || c == '\t'; }

// The white-space separated tokens of a line, as [begin, end) ranges.
std::vector<std::pair<std::size_t, std::size_t>> tokens_of(std::string_view line) {
  std::vector<std::pair<std::size_t, std::size_t>> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && is_space(line[i])) ++i;
    if (i == line.size()) break;
    const std::size_t begin = i;
    while (i < line.size() && !is_space(line[i])) ++i;
    tokens.emplace_back(begin, i);
  }
  return tokens;
}

// The lines of `text` with their line ends ("\n", "\r\n" or "\r"), in order.
struct Line {
  std::string_view body;
  std::string_view end;
};
std::vector<Line> lines_of(std::string_view text) {
  std::vector<Line> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t next = 0;
    const std::string_view body = line_at(text, at, next);
    lines.push_back({body, text.substr(at + body.size(), next - at - body.size())});
    at = next;
  }
  return lines;
}

std::string float_text(float value) {
  std::string text;
  append_float9(text, value);
  return text;
}

void check_plain_name(const PointField& field, const std::string& name) {
  if (field.name.empty() || std::any_of(field.name.begin(), field.name.end(), [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r';
      }))
    refuse(name, "the field name '" + printable_excerpt(field.name) + "' is empty or holds white space");
}

// ---- text ----

void set_text_fields(TextTable& table, std::int64_t n, std::span<const PointField> fields) {
  // Columns a CSV header names take their field's values in place.
  std::vector<std::optional<std::size_t>> replaced(static_cast<std::size_t>(table.extra_columns));
  std::vector<const PointField*> added;
  std::vector<std::string_view> header_fields;
  const bool has_header = !table.header.empty() && split_csv_line(table.header, header_fields, table.delimiter);
  for (std::size_t f = 0; f < fields.size(); ++f) {
    std::optional<std::int32_t> column;
    for (std::int32_t k = 0; has_header && k < table.extra_columns; ++k) {
      const std::size_t at = static_cast<std::size_t>(table.field_of_extra(k));
      if (at < header_fields.size() && header_fields[at] == fields[f].name) column = k;
    }
    if (column) replaced[static_cast<std::size_t>(*column)] = f;
    else added.push_back(&fields[f]);
  }
  std::string text;
  std::vector<std::int64_t> ends;
  for (std::int64_t row = 0; row < n; ++row) {
    for (std::int32_t k = 0; k < table.extra_columns; ++k) {
      const std::optional<std::size_t>& f = replaced[static_cast<std::size_t>(k)];
      if (f) append_float9(text, fields[*f].values[static_cast<std::size_t>(row)]);
      else text.append(table.extra(row, k));
      ends.push_back(static_cast<std::int64_t>(text.size()));
    }
    for (const PointField* field : added) {
      append_float9(text, field->values[static_cast<std::size_t>(row)]);
      ends.push_back(static_cast<std::int64_t>(text.size()));
    }
  }
  table.extra_text = std::move(text);
  table.extra_end = std::move(ends);
  table.extra_columns += static_cast<std::int32_t>(added.size());
  if (!table.header.empty()) {
    for (const PointField* field : added) table.header += table.delimiter + field->name;
  }
}

// ---- NPY ----

void set_npy_fields(PointFile& file, std::span<const PointField> fields, const std::string& name) {
  const NpyDocument& doc = std::get<NpyDocument>(file.layout);
  const std::size_t item = doc.is_double ? 8 : 4;
  const std::int64_t columns = doc.columns + static_cast<std::int64_t>(fields.size());
  std::string header = std::string("{'descr': '") + (doc.little_endian ? '<' : '>') + (doc.is_double ? "f8" : "f4") +
                       "', 'fortran_order': " + (doc.fortran_order ? "True" : "False") + ", 'shape': (" +
                       std::to_string(doc.rows) + ", " + std::to_string(columns) + "), }";
  // Padded with spaces and a final newline so that the data start on a multiple of 64.
  const std::size_t preamble = 10;
  header.append((64 - (preamble + header.size() + 1) % 64) % 64, ' ');
  header += '\n';
  std::string content = "\x93NUMPY";
  content += '\x01';
  content += '\x00';
  content.resize(preamble);
  store_value(content.data() + 8, static_cast<std::uint16_t>(header.size()), true);
  content += header;
  const std::size_t data_begin = content.size();
  content.resize(data_begin + static_cast<std::size_t>(doc.rows * columns) * item);
  const char* old_data = doc.content.data() + doc.data_begin;
  char* data = content.data() + data_begin;
  for (std::int64_t row = 0; row < doc.rows; ++row) {
    for (std::int64_t column = 0; column < columns; ++column) {
      const std::int64_t at = doc.fortran_order ? column * doc.rows + row : row * columns + column;
      char* p = data + static_cast<std::size_t>(at) * item;
      if (column < doc.columns) {
        const std::int64_t from = doc.fortran_order ? column * doc.rows + row : row * doc.columns + column;
        std::memcpy(p, old_data + static_cast<std::size_t>(from) * item, item);
        continue;
      }
      const float value = fields[static_cast<std::size_t>(column - doc.columns)].values[static_cast<std::size_t>(row)];
      if (doc.is_double) store_value(p, static_cast<double>(value), doc.little_endian);
      else store_value(p, value, doc.little_endian);
    }
  }
  std::vector<float> xyz;
  file.layout = read_npy(std::move(content), name, xyz);
}

// ---- PCD ----

struct PcdField {
  std::string name;
  std::size_t size = 4;
  char type = 'F';
  std::size_t count = 1;
  std::size_t offset = 0;  // in a binary record, or block start / points in binary_compressed
};

// Appends `token` (with a space) to the header line starting with `key`.
void append_to_header_line(std::string& header, std::string_view key, const std::string& token) {
  std::size_t at = 0;
  while (at < header.size()) {
    std::size_t next = 0;
    const std::string_view line = line_at(header, at, next);
    const auto tokens = tokens_of(line);
    if (!tokens.empty() && line.substr(tokens[0].first, tokens[0].second - tokens[0].first) == key) {
      const std::size_t end = at + tokens.back().second;
      header.insert(end, " " + token);
      return;
    }
    at = next;
  }
}

std::vector<PcdField> pcd_fields(const std::string& header) {
  std::vector<std::vector<std::string>> rows(4);
  const char* keys[] = {"FIELDS", "SIZE", "TYPE", "COUNT"};
  for (const Line& line : lines_of(header)) {
    const auto tokens = tokens_of(line.body);
    if (tokens.empty()) continue;
    const std::string_view key = line.body.substr(tokens[0].first, tokens[0].second - tokens[0].first);
    for (std::size_t k = 0; k < 4; ++k) {
      if (key != keys[k]) continue;
      for (std::size_t t = 1; t < tokens.size(); ++t)
        rows[k].emplace_back(line.body.substr(tokens[t].first, tokens[t].second - tokens[t].first));
    }
  }
  std::vector<PcdField> fields(rows[0].size());
  std::size_t offset = 0;
  for (std::size_t f = 0; f < fields.size(); ++f) {
    fields[f].name = rows[0][f];
    if (f < rows[1].size()) fields[f].size = static_cast<std::size_t>(std::stoul(rows[1][f]));
    if (f < rows[2].size()) fields[f].type = rows[2][f].empty() ? 'F' : rows[2][f][0];
    if (f < rows[3].size()) fields[f].count = static_cast<std::size_t>(std::stoul(rows[3][f]));
    fields[f].offset = offset;
    offset += fields[f].size * fields[f].count;
  }
  return fields;
}

void store_float(char* p, std::size_t size, float value) {
  if (size == 8) store_value(p, static_cast<double>(value), true);
  else store_value(p, value, true);
}

void set_pcd_fields(PointFile& file, std::span<const PointField> fields, const std::string& name) {
  PcdDocument& doc = std::get<PcdDocument>(file.layout);
  const std::vector<PcdField> existing = pcd_fields(doc.header);
  std::size_t record = 0;
  for (const PcdField& f : existing) record += f.size * f.count;
  // Each field: the existing one it replaces, or none (added).
  std::vector<std::optional<std::size_t>> target(fields.size());
  for (std::size_t f = 0; f < fields.size(); ++f) {
    check_plain_name(fields[f], name);
    for (std::size_t e = 0; e < existing.size(); ++e) {
      if (existing[e].name != fields[f].name) continue;
      if (existing[e].type != 'F' || existing[e].count != 1 || (existing[e].size != 4 && existing[e].size != 8))
        refuse(name, "its field '" + fields[f].name + "' is not a single float or double, so it cannot take " +
                         fields[f].name + " values");
      target[f] = e;
    }
  }
  std::size_t added = 0;
  for (std::size_t f = 0; f < fields.size(); ++f) {
    if (target[f]) continue;
    append_to_header_line(doc.header, "FIELDS", fields[f].name);
    append_to_header_line(doc.header, "SIZE", "4");
    append_to_header_line(doc.header, "TYPE", "F");
    append_to_header_line(doc.header, "COUNT", "1");
    ++added;
  }
  const auto n = static_cast<std::size_t>(doc.points);
  if (doc.data == PcdData::ascii) {
    // One line per point: its tokens by field (COUNT values each), then the added ones.
    std::string body;
    std::size_t point = 0;
    std::vector<std::size_t> token_of_field(existing.size());
    for (std::size_t e = 0, t = 0; e < existing.size(); t += existing[e].count, ++e) token_of_field[e] = t;
    for (const Line& line : lines_of(doc.body)) {
      auto tokens = tokens_of(line.body);
      if (tokens.empty() || point >= n) {
        body.append(line.body).append(line.end);
        continue;
      }
      std::string text(line.body);
      // Replaced from the last token back, so that earlier ranges stay valid.
      std::vector<std::pair<std::size_t, std::string>> replacements;
      for (std::size_t f = 0; f < fields.size(); ++f)
        if (target[f]) replacements.emplace_back(token_of_field[*target[f]], float_text(fields[f].values[point]));
      std::sort(replacements.begin(), replacements.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
      for (const auto& [t, value] : replacements)
        if (t < tokens.size()) text.replace(tokens[t].first, tokens[t].second - tokens[t].first, value);
      for (std::size_t f = 0; f < fields.size(); ++f)
        if (!target[f]) text += " " + float_text(fields[f].values[point]);
      body.append(text).append(line.end.empty() ? std::string_view("\n") : line.end);
      ++point;
    }
    std::vector<float> xyz;
    file.layout = read_pcd(doc.header + body + doc.trailer, name, xyz);
    return;
  }
  if (doc.data == PcdData::binary) {
    const std::size_t wider = record + 4 * added;
    std::string body(n * wider, '\0');
    for (std::size_t i = 0; i < n; ++i) {
      char* p = body.data() + i * wider;
      std::memcpy(p, doc.body.data() + i * record, record);
      std::size_t extra = record;
      for (std::size_t f = 0; f < fields.size(); ++f) {
        if (target[f]) {
          store_float(p + existing[*target[f]].offset, existing[*target[f]].size, fields[f].values[i]);
        } else {
          store_float(p + extra, 4, fields[f].values[i]);
          extra += 4;
        }
      }
    }
    std::vector<float> xyz;
    file.layout = read_pcd(doc.header + body + doc.trailer, name, xyz);
    return;
  }
  // binary_compressed: the unpacked data are one block per field, in field order; added
  // fields are blocks at the end, and the coordinates' places do not move.
  for (std::size_t f = 0; f < fields.size(); ++f) {
    if (target[f]) {
      const PcdField& e = existing[*target[f]];
      for (std::size_t i = 0; i < n; ++i) store_float(doc.body.data() + e.offset * n + i * e.size, e.size, fields[f].values[i]);
    } else {
      const std::size_t begin = doc.body.size();
      doc.body.resize(begin + 4 * n);
      for (std::size_t i = 0; i < n; ++i) store_float(doc.body.data() + begin + 4 * i, 4, fields[f].values[i]);
    }
  }
}

// ---- PLY ----

std::size_t ply_count(const char* p, PlyType type, bool little) {
  switch (type) {
    case PlyType::int8:
      return static_cast<std::size_t>(std::max<std::int8_t>(0, load_value<std::int8_t>(p, little)));
    case PlyType::uint8:
      return load_value<std::uint8_t>(p, little);
    case PlyType::int16:
      return static_cast<std::size_t>(std::max<std::int16_t>(0, load_value<std::int16_t>(p, little)));
    case PlyType::uint16:
      return load_value<std::uint16_t>(p, little);
    case PlyType::int32:
      return static_cast<std::size_t>(std::max(0, load_value<std::int32_t>(p, little)));
    case PlyType::uint32:
      return load_value<std::uint32_t>(p, little);
    default:
      return 0;
  }
}

void set_ply_fields(PointFile& file, std::span<const PointField> fields, const std::string& name) {
  const PlyDocument& doc = std::get<PlyDocument>(file.layout);
  const PlyElement& vertex = doc.elements[doc.vertex];
  std::vector<std::optional<std::size_t>> target(fields.size());
  for (std::size_t f = 0; f < fields.size(); ++f) {
    check_plain_name(fields[f], name);
    for (std::size_t p = 0; p < vertex.properties.size(); ++p) {
      const PlyProperty& property = vertex.properties[p];
      if (property.name != fields[f].name) continue;
      if (property.is_list || (property.type != PlyType::float32 && property.type != PlyType::float64))
        refuse(name, "its vertex property '" + property.name + "' is not a float or double, so it cannot take " +
                         fields[f].name + " values");
      target[f] = p;
    }
  }
  // The header gains a property line per added field after the vertex's last property.
  const std::size_t header_end = doc.elements.front().begin;
  std::string header = doc.content.substr(0, header_end);
  {
    std::size_t at = 0;
    std::size_t insert_at = std::string::npos;
    bool in_vertex = false;
    std::string line_end = "\n";
    while (at < header.size()) {
      std::size_t next = 0;
      const std::string_view line = line_at(header, at, next);
      const auto tokens = tokens_of(line);
      const std::string_view key = tokens.empty() ? std::string_view() : line.substr(tokens[0].first, tokens[0].second - tokens[0].first);
      if (key == "element") {
        in_vertex = tokens.size() > 1 && line.substr(tokens[1].first, tokens[1].second - tokens[1].first) == "vertex";
        if (in_vertex) insert_at = next;
      }
      if (key == "property" && in_vertex) {
        insert_at = next;
        line_end = std::string(std::string_view(header).substr(at + line.size(), next - at - line.size()));
      }
      at = next;
    }
    std::string lines;
    for (std::size_t f = 0; f < fields.size(); ++f)
      if (!target[f]) lines += "property float " + fields[f].name + line_end;
    header.insert(insert_at, lines);
  }
  std::string records;
  const std::string_view vertex_bytes = std::string_view(doc.content).substr(vertex.begin, vertex.end - vertex.begin);
  const auto n = static_cast<std::size_t>(vertex.count);
  if (doc.format == PlyFormat::ascii) {
    // One record per non-blank line; a property's tokens: 1, or a list's count + 1.
    std::size_t point = 0;
    for (const Line& line : lines_of(vertex_bytes)) {
      const auto tokens = tokens_of(line.body);
      if (tokens.empty() || point >= n) {
        records.append(line.body).append(line.end);
        continue;
      }
      std::vector<std::size_t> token_of_property;
      std::size_t t = 0;
      for (const PlyProperty& property : vertex.properties) {
        token_of_property.push_back(t);
        if (property.is_list) {
          long long count = 0;
          const std::string_view text = line.body.substr(tokens[t].first, tokens[t].second - tokens[t].first);
          parse_integer(text, count);
          t += 1 + static_cast<std::size_t>(std::max(0LL, count));
        } else {
          ++t;
        }
      }
      std::string text(line.body);
      std::vector<std::pair<std::size_t, std::string>> replacements;
      for (std::size_t f = 0; f < fields.size(); ++f)
        if (target[f]) replacements.emplace_back(token_of_property[*target[f]], float_text(fields[f].values[point]));
      std::sort(replacements.begin(), replacements.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
      for (const auto& [k, value] : replacements) text.replace(tokens[k].first, tokens[k].second - tokens[k].first, value);
      for (std::size_t f = 0; f < fields.size(); ++f)
        if (!target[f]) text += " " + float_text(fields[f].values[point]);
      records.append(text).append(line.end.empty() ? std::string_view("\n") : line.end);
      ++point;
    }
  } else {
    const bool little = doc.format == PlyFormat::binary_little_endian;
    std::size_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t begin = records.size();
      std::vector<std::size_t> offset_of_property;
      const std::size_t record_begin = at;
      for (const PlyProperty& property : vertex.properties) {
        offset_of_property.push_back(at - record_begin);
        if (property.is_list) {
          const std::size_t count = ply_count(vertex_bytes.data() + at, property.count_type, little);
          at += ply_type_size(property.count_type) + count * ply_type_size(property.type);
        } else {
          at += ply_type_size(property.type);
        }
      }
      records.append(vertex_bytes.substr(record_begin, at - record_begin));
      for (std::size_t f = 0; f < fields.size(); ++f) {
        const float value = fields[f].values[i];
        if (target[f]) {
          char* p = records.data() + begin + offset_of_property[*target[f]];
          if (vertex.properties[*target[f]].type == PlyType::float64) store_value(p, static_cast<double>(value), little);
          else store_value(p, value, little);
        } else {
          char bytes[4];
          store_value(bytes, value, little);
          records.append(bytes, 4);
        }
      }
    }
  }
  std::string content = header;
  for (std::size_t e = 0; e < doc.elements.size(); ++e) {
    if (e == doc.vertex) content += records;
    else content.append(doc.content, doc.elements[e].begin, doc.elements[e].end - doc.elements[e].begin);
  }
  std::vector<float> xyz;
  file.layout = read_ply(std::move(content), name, xyz);
}

// ---- LAS ----

constexpr std::size_t vlr_header_size = 54;
constexpr std::size_t extra_bytes_descriptor_size = 192;
constexpr std::uint8_t extra_bytes_float = 9;
constexpr std::uint8_t extra_bytes_double = 10;
constexpr std::size_t minimum_las_record[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};

std::size_t extra_bytes_size(std::uint8_t type, std::uint8_t options) {
  constexpr std::size_t sizes[] = {0, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8};
  if (type == 0) return options;
  if (type <= 10) return sizes[type];
  return 0;
}

void set_las_fields(PointFile& file, std::span<const PointField> fields, const std::string& name) {
  const LasDocument& doc = std::get<LasDocument>(file.layout);
  const std::string& in = doc.content;
  const std::size_t header_size = load_value<std::uint16_t>(in.data() + 94, true);
  const std::uint32_t vlr_count = load_value<std::uint32_t>(in.data() + 100, true);
  const int minor = static_cast<unsigned char>(in[25]);
  // The VLRs: where they end, and the extra-bytes one if there is one.
  std::size_t at = header_size;
  std::optional<std::size_t> extra_vlr;
  for (std::uint32_t k = 0; k < vlr_count && at + vlr_header_size <= doc.points_begin; ++k) {
    const std::string_view user(in.data() + at + 2, 16);
    const std::uint16_t record = load_value<std::uint16_t>(in.data() + at + 18, true);
    if (user.substr(0, 9) == "LASF_Spec" && user.substr(9).find_first_not_of('\0') == std::string_view::npos &&
        record == 4)
      extra_vlr = at;
    at += vlr_header_size + load_value<std::uint16_t>(in.data() + at + 20, true);
  }
  const std::size_t vlrs_end = std::min(at, doc.points_begin);
  // The described extra bytes: name, type, offset in the record.
  struct Described {
    std::string name;
    std::uint8_t type;
    std::size_t offset;
  };
  std::vector<Described> described;
  std::size_t described_end = minimum_las_record[doc.point_format];
  if (extra_vlr) {
    const std::size_t length = load_value<std::uint16_t>(in.data() + *extra_vlr + 20, true);
    for (std::size_t d = 0; d + extra_bytes_descriptor_size <= length; d += extra_bytes_descriptor_size) {
      const char* p = in.data() + *extra_vlr + vlr_header_size + d;
      const auto type = static_cast<std::uint8_t>(p[2]);
      const std::string field_name(p + 4, strnlen(p + 4, 32));
      described.push_back({field_name, type, described_end});
      described_end += extra_bytes_size(type, static_cast<std::uint8_t>(p[3]));
    }
  }
  std::vector<std::optional<std::size_t>> target(fields.size());
  std::vector<std::string> descriptors;
  // Bytes no descriptor covers before the new ones are described as undocumented (type 0).
  if (doc.record_length > described_end) {
    std::string d(extra_bytes_descriptor_size, '\0');
    d[3] = static_cast<char>(std::min<std::size_t>(doc.record_length - described_end, 255));
    std::memcpy(d.data() + 4, "undocumented", 12);
    descriptors.push_back(d);
  }
  std::size_t added = 0;
  for (std::size_t f = 0; f < fields.size(); ++f) {
    if (fields[f].name.empty() || fields[f].name.size() > 32)
      refuse(name, "a LAS extra-bytes field needs a name of 1 to 32 bytes, not '" + printable_excerpt(fields[f].name) + "'");
    for (std::size_t d = 0; d < described.size(); ++d)
      if (described[d].name == fields[f].name &&
          (described[d].type == extra_bytes_float || described[d].type == extra_bytes_double))
        target[f] = d;
    if (target[f]) continue;
    std::string d(extra_bytes_descriptor_size, '\0');
    d[2] = static_cast<char>(extra_bytes_float);
    std::memcpy(d.data() + 4, fields[f].name.data(), fields[f].name.size());
    const std::string description = "written by vandrel";
    std::memcpy(d.data() + 160, description.data(), description.size());
    descriptors.push_back(d);
    ++added;
  }
  if (doc.record_length > described_end && doc.record_length - described_end > 255)
    refuse(name, "its point records hold more than 255 undescribed extra bytes");
  const std::size_t new_record = doc.record_length + 4 * added;
  if (new_record > 65535) refuse(name, "its point records would exceed 65535 bytes");
  std::string descriptor_bytes;
  for (const std::string& d : descriptors) descriptor_bytes += d;
  if (added == 0) descriptor_bytes.clear();  // only replacements: no new description

  std::string out;
  std::size_t vlr_growth = 0;
  if (descriptor_bytes.empty()) {
    out = in.substr(0, doc.points_begin);
  } else if (extra_vlr) {
    const std::size_t length = load_value<std::uint16_t>(in.data() + *extra_vlr + 20, true);
    if (length + descriptor_bytes.size() > 65535) refuse(name, "its extra-bytes VLR would exceed 65535 bytes");
    const std::size_t vlr_end = *extra_vlr + vlr_header_size + length;
    out = in.substr(0, vlr_end) + descriptor_bytes + in.substr(vlr_end, doc.points_begin - vlr_end);
    store_value(out.data() + *extra_vlr + 20, static_cast<std::uint16_t>(length + descriptor_bytes.size()), true);
    vlr_growth = descriptor_bytes.size();
  } else {
    std::string vlr(vlr_header_size, '\0');
    std::memcpy(vlr.data() + 2, "LASF_Spec", 9);
    store_value(vlr.data() + 18, std::uint16_t{4}, true);
    store_value(vlr.data() + 20, static_cast<std::uint16_t>(descriptor_bytes.size()), true);
    std::memcpy(vlr.data() + 22, "Extra bytes", 11);
    out = in.substr(0, vlrs_end) + vlr + descriptor_bytes + in.substr(vlrs_end, doc.points_begin - vlrs_end);
    store_value(out.data() + 100, vlr_count + 1, true);
    vlr_growth = vlr.size() + descriptor_bytes.size();
  }
  const std::size_t points_begin = doc.points_begin + vlr_growth;
  if (points_begin > 0xFFFFFFFFu) refuse(name, "its point data would start past 4 GiB");
  store_value(out.data() + 96, static_cast<std::uint32_t>(points_begin), true);
  store_value(out.data() + 105, static_cast<std::uint16_t>(new_record), true);
  const auto n = static_cast<std::size_t>(doc.points);
  const std::size_t records_begin = out.size();
  out.resize(records_begin + n * new_record);
  for (std::size_t i = 0; i < n; ++i) {
    char* p = out.data() + records_begin + i * new_record;
    std::memcpy(p, in.data() + doc.points_begin + i * doc.record_length, doc.record_length);
    std::size_t extra = doc.record_length;
    for (std::size_t f = 0; f < fields.size(); ++f) {
      if (target[f]) {
        const Described& d = described[*target[f]];
        if (d.type == extra_bytes_double) store_value(p + d.offset, static_cast<double>(fields[f].values[i]), true);
        else store_value(p + d.offset, fields[f].values[i], true);
      } else {
        store_value(p + extra, fields[f].values[i], true);
        extra += 4;
      }
    }
  }
  const std::size_t old_end = doc.points_begin + n * doc.record_length;
  out.append(in, old_end, std::string::npos);
  // What lies after the points (extended VLRs, waveform data) moved by the growth.
  const std::size_t growth = out.size() - in.size();
  if (minor >= 3 && header_size >= 235) {
    const auto waveform = load_value<std::uint64_t>(out.data() + 227, true);
    if (waveform >= old_end) store_value(out.data() + 227, waveform + growth, true);
  }
  if (minor >= 4 && header_size >= 375) {
    const auto evlrs = load_value<std::uint64_t>(out.data() + 235, true);
    if (evlrs != 0) store_value(out.data() + 235, evlrs + growth, true);
  }
  std::vector<float> xyz;
  file.layout = read_las(std::move(out), name, xyz);
}

}  // namespace

void set_point_fields(PointFile& file, std::span<const PointField> fields, const std::string& name) {
  if (fields.empty()) return;
  for (const PointField& field : fields)
    if (static_cast<std::int64_t>(field.values.size()) != file.size)
      throw Error("Vandrel:invalidArgument", "the field '" + field.name + "' holds " +
                                                 std::to_string(field.values.size()) + " values for " +
                                                 std::to_string(file.size) + " points");
  if (std::holds_alternative<TextTable>(file.layout)) {
    set_text_fields(std::get<TextTable>(file.layout), file.size, fields);
  } else if (std::holds_alternative<NpyDocument>(file.layout)) {
    set_npy_fields(file, fields, name);
  } else if (std::holds_alternative<PcdDocument>(file.layout)) {
    set_pcd_fields(file, fields, name);
  } else if (std::holds_alternative<PlyDocument>(file.layout)) {
    set_ply_fields(file, fields, name);
  } else {
    set_las_fields(file, fields, name);
  }
}

void set_las_class(PointFile& file, std::span<const std::uint8_t> flags, std::uint8_t point_class,
                   const std::string& name) {
  if (!std::holds_alternative<LasDocument>(file.layout))
    throw Error("Vandrel:cannotClassify", "cannot classify the points of '" + name + "': only LAS files have classes");
  LasDocument& doc = std::get<LasDocument>(file.layout);
  for (std::size_t i = 0; i < flags.size() && static_cast<std::int64_t>(i) < doc.points; ++i) {
    if (flags[i] == 0) continue;
    char* record = doc.content.data() + doc.points_begin + i * doc.record_length;
    if (doc.point_format <= 5) {
      const auto byte = static_cast<unsigned char>(record[15]);
      record[15] = static_cast<char>((byte & 0xE0) | (point_class & 0x1F));
    } else {
      record[16] = static_cast<char>(point_class);
    }
  }
}

NormalFieldNames normal_field_names(const PointFile& file) {
  if (!std::holds_alternative<PcdDocument>(file.layout)) return {{"nx", "ny", "nz"}, std::nullopt};
  NormalFieldNames names{{"normal_x", "normal_y", "normal_z"}, std::nullopt};
  for (const PcdField& field : pcd_fields(std::get<PcdDocument>(file.layout).header))
    if (field.name == "curvature") names.curvature = "curvature";
  return names;
}

std::optional<PointD> sensor_position(const PointFile& file) {
  if (!std::holds_alternative<PcdDocument>(file.layout)) return std::nullopt;
  const PcdDocument& doc = std::get<PcdDocument>(file.layout);
  PointD position{};
  for (const Line& line : lines_of(doc.header)) {
    const auto tokens = tokens_of(line.body);
    if (tokens.size() < 4 || line.body.substr(tokens[0].first, tokens[0].second - tokens[0].first) != "VIEWPOINT") continue;
    for (std::size_t c = 0; c < 3; ++c) {
      double value = 0.0;
      if (parse_double(line.body.substr(tokens[c + 1].first, tokens[c + 1].second - tokens[c + 1].first), value))
        position[c] = value;
    }
  }
  for (std::size_t c = 0; c < 3; ++c) position[c] -= doc.origin[c];
  return position;
}

}  // namespace vandrel
