#include "ply_file.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "io/byte_values.h"
#include "io/number_text.h"
#include "vandrel/error.h"

namespace vandrel {
namespace {

// Output is gathered in a buffer and handed to the stream in pieces of about this size.
constexpr std::size_t flush_size = 1 << 20;

struct TypeName {
  std::string_view name;
  PlyType type;
};
constexpr TypeName type_names[] = {
    {"char", PlyType::int8},     {"int8", PlyType::int8},       {"uchar", PlyType::uint8},
    {"uint8", PlyType::uint8},   {"short", PlyType::int16},     {"int16", PlyType::int16},
    {"ushort", PlyType::uint16}, {"uint16", PlyType::uint16},   {"int", PlyType::int32},
    {"int32", PlyType::int32},   {"uint", PlyType::uint32},     {"uint32", PlyType::uint32},
    {"float", PlyType::float32}, {"float32", PlyType::float32}, {"double", PlyType::float64},
    {"float64", PlyType::float64},
};


bool is_integer(PlyType type) { return type != PlyType::float32 && type != PlyType::float64; }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool swaps(PlyFormat format) {
  if (format == PlyFormat::ascii) return false;
  const bool little = format == PlyFormat::binary_little_endian;
  return little != (std::endian::native == std::endian::little);
}

template <class T>
T from_bytes(const unsigned char* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

// The value of a binary scalar at `p`; every PLY type fits a double exactly.
double load(const char* p, PlyType type, bool swap) {
  unsigned char bytes[8];
  const std::size_t size = ply_type_size(type);
  std::memcpy(bytes, p, size);
  if (swap) std::reverse(bytes, bytes + size);
  switch (type) {
    case PlyType::int8:
      return static_cast<double>(static_cast<std::int8_t>(bytes[0]));
    case PlyType::uint8:
      return static_cast<double>(bytes[0]);
    case PlyType::int16:
      return static_cast<double>(from_bytes<std::int16_t>(bytes));
    case PlyType::uint16:
      return static_cast<double>(from_bytes<std::uint16_t>(bytes));
    case PlyType::int32:
      return static_cast<double>(from_bytes<std::int32_t>(bytes));
    case PlyType::uint32:
      return static_cast<double>(from_bytes<std::uint32_t>(bytes));
    case PlyType::float32:
      return static_cast<double>(from_bytes<float>(bytes));
    case PlyType::float64:
      return from_bytes<double>(bytes);
  }
  return 0.0;
}

template <class Real>
void store(std::string& out, Real value, bool swap) {
  char bytes[sizeof(Real)];
  std::memcpy(bytes, &value, sizeof(Real));
  if (swap) std::reverse(bytes, bytes + sizeof(Real));
  out.append(bytes, sizeof(Real));
}

struct Word {
  std::string_view text;
  std::size_t offset;  // in the document's content
};

// Splits content[begin, end) at whitespace, with each word's place in the content.
void split_words(const std::string& content, std::size_t begin, std::size_t end, std::vector<Word>& words) {
  words.clear();
  std::size_t i = begin;
  while (i < end) {
    while (i < end && is_space(content[i])) ++i;
    const std::size_t start = i;
    while (i < end && !is_space(content[i])) ++i;
    if (i > start) words.push_back({std::string_view(content).substr(start, i - start), start});
  }
}

// A property name as a CSV header field: quoted, with quotes doubled, where it holds a
// separator or a quote.
std::string csv_label(const std::string& name) {
  if (name.find_first_of(",;\"") == std::string::npos) return name;
  std::string label = "\"";
  for (const char c : name) {
    if (c == '"') label.push_back('"');
    label.push_back(c);
  }
  return label + "\"";
}

// Where the k-th coordinate value of the vertices starts in the document's content (k in
// record order: vertex k / 3, coordinate property k % 3).
std::size_t coordinate_start(const PlyDocument& document, std::size_t k) {
  if (document.record_size == 0) return document.coordinate_begin[k];
  return document.elements[document.vertex].begin + (k / 3) * document.record_size + document.record_offset[k % 3];
}

// The coordinate value that starts at `begin` in the content, as the file holds it (NaN
// for ascii text that is no number, which the reader has refused).
double coordinate_value(const PlyDocument& document, std::size_t begin, PlyType type) {
  const std::string& c = document.content;
  if (document.format != PlyFormat::ascii) return load(c.data() + begin, type, swaps(document.format));
  std::size_t end = begin;
  while (end < c.size() && !is_space(c[end])) ++end;
  double value = std::numeric_limits<double>::quiet_NaN();
  parse_double(std::string_view(c).substr(begin, end - begin), value);
  return value;
}

class Reader {
 public:
  Reader(std::string content, const std::string& name, std::vector<float>& xyz) : name_(name), xyz_(xyz) {
    doc_.content = std::move(content);
  }

  PlyDocument read() {
    read_header();
    check_counts();
    const auto n = static_cast<std::size_t>(doc_.elements[doc_.vertex].count);
    xyz_.assign(3 * n, 0.0f);
    find_record_layout();
    if (doc_.record_size == 0) doc_.coordinate_begin.reserve(3 * n);
    values_.assign(3 * n, 0.0);
    if (doc_.format == PlyFormat::ascii)
      read_ascii_body();
    else
      read_binary_body();
    doc_.origin = origin_when_far(values_);
    for (std::size_t k = 0; k < 3 * n; ++k) xyz_[k] = relative_coordinate(values_[k], doc_.origin[k / n]);
    return std::move(doc_);
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw Error("Vandrel:badPlyFile", name_ + ": " + what);
  }
  [[noreturn]] void fail_header(const std::string& what) const {
    fail("header line " + std::to_string(line_) + ": " + what);
  }
  std::string record_name(std::size_t element, std::int64_t record) const {
    return "element '" + printable_excerpt(doc_.elements[element].name) + "' record " + std::to_string(record);
  }

  // The fewest bytes a record of `element` takes: its scalars and list lengths in binary;
  // in ascii, one character and one separator or line end per property.
  std::size_t smallest_record(const PlyElement& element) const {
    std::size_t bytes = 0;
    for (const PlyProperty& property : element.properties)
      bytes += doc_.format == PlyFormat::ascii ? 2 : ply_type_size(property.is_list ? property.count_type : property.type);
    return bytes;
  }

  // A count the rest of the file cannot hold is a corrupt header, not a reason to allocate.
  void check_counts() const {
    // The last ascii record may lack its line end.
    std::size_t left = doc_.content.size() - pos_ + (doc_.format == PlyFormat::ascii ? 1 : 0);
    for (std::size_t e = 0; e < doc_.elements.size(); ++e) {
      const PlyElement& element = doc_.elements[e];
      const std::size_t smallest = smallest_record(element);
      if (smallest == 0) continue;
      const auto count = static_cast<std::size_t>(element.count);
      if (count > left / smallest)
        fail("truncated: the header declares " + std::to_string(count) +
             (e == doc_.vertex ? " vertices" : " '" + printable_excerpt(element.name) + "' records") +
             ", more than the file holds");
      left -= count * smallest;
    }
  }

  // The next line from pos_, without its line end; false at the end of the content.
  bool next_line(std::string_view& line) {
    if (pos_ >= doc_.content.size()) return false;
    std::size_t next = 0;
    line = line_at(doc_.content, pos_, next);
    pos_ = next;
    ++line_;
    return true;
  }

  PlyType parse_type(std::string_view word) const {
    for (const TypeName& t : type_names)
      if (t.name == word) return t.type;
    fail_header("unknown property type '" + printable_excerpt(word) + "'");
  }

  void read_header() {
    if (doc_.content.empty()) fail("the file is empty");
    std::string_view line;
    next_line(line);
    while (!line.empty() && is_space(line.back())) line.remove_suffix(1);
    if (line != "ply") fail("not a PLY file: it does not start with a 'ply' line");
    bool have_format = false;
    std::vector<Word> words;
    while (true) {
      if (!next_line(line)) fail("the header has no 'end_header' line (the file is truncated)");
      const std::size_t line_begin = static_cast<std::size_t>(line.data() - doc_.content.data());
      split_words(doc_.content, line_begin, line_begin + line.size(), words);
      if (words.empty()) fail_header("blank line in the header");
      const std::string_view key = words[0].text;
      if (key == "comment" || key == "obj_info") continue;
      if (key == "end_header") break;
      if (key == "format") {
        if (words.size() != 3) fail_header("expected 'format <type> 1.0'");
        if (words[1].text == "ascii")
          doc_.format = PlyFormat::ascii;
        else if (words[1].text == "binary_little_endian")
          doc_.format = PlyFormat::binary_little_endian;
        else if (words[1].text == "binary_big_endian")
          doc_.format = PlyFormat::binary_big_endian;
        else
          fail_header("unknown format '" + printable_excerpt(words[1].text) + "'");
        if (words[2].text != "1.0") fail_header("unsupported version '" + printable_excerpt(words[2].text) + "'");
        have_format = true;
      } else if (key == "element") {
        long long count = 0;
        if (words.size() != 3 || !parse_integer(words[2].text, count) || count < 0)
          fail_header("expected 'element <name> <count>' with a count of 0 or more");
        doc_.elements.push_back({std::string(words[1].text), count, {}, 0, 0});
      } else if (key == "property") {
        if (doc_.elements.empty()) fail_header("a property before the first element");
        PlyProperty property;
        if (words.size() == 5 && words[1].text == "list") {
          property.is_list = true;
          property.count_type = parse_type(words[2].text);
          if (!is_integer(property.count_type)) fail_header("a list's length must have an integer type");
          property.type = parse_type(words[3].text);
          property.name = std::string(words[4].text);
        } else if (words.size() == 3 && words[1].text != "list") {
          property.type = parse_type(words[1].text);
          property.name = std::string(words[2].text);
        } else {
          fail_header("expected 'property <type> <name>' or 'property list <type> <type> <name>'");
        }
        doc_.elements.back().properties.push_back(std::move(property));
      } else {
        fail_header("unknown keyword '" + printable_excerpt(key) + "'");
      }
    }
    if (!have_format) fail("the header has no 'format' line");
    find_coordinates();
  }

  void find_coordinates() {
    const auto vertex = std::find_if(doc_.elements.begin(), doc_.elements.end(),
                                     [](const PlyElement& e) { return e.name == "vertex"; });
    if (vertex == doc_.elements.end()) fail("the header declares no 'vertex' element");
    doc_.vertex = static_cast<std::size_t>(vertex - doc_.elements.begin());
    const char* axes[3] = {"x", "y", "z"};
    std::array<int, 3> property_of_axis{};
    for (int axis = 0; axis < 3; ++axis) {
      const auto& props = vertex->properties;
      const auto p = std::find_if(props.begin(), props.end(), [&](const PlyProperty& q) { return q.name == axes[axis]; });
      if (p == props.end()) fail("the 'vertex' element has no property '" + std::string(axes[axis]) + "'");
      if (p->is_list || (p->type != PlyType::float32 && p->type != PlyType::float64))
        fail("vertex property '" + std::string(axes[axis]) + "' must be a float or a double");
      property_of_axis[static_cast<std::size_t>(axis)] = static_cast<int>(p - props.begin());
      doc_.coordinate_type[static_cast<std::size_t>(axis)] = p->type;
    }
    if (vertex->count == 0) fail("the file holds no points (its 'vertex' element is empty)");
    // Axes in the order their properties come in a record.
    doc_.coordinate_axis = {0, 1, 2};
    std::sort(doc_.coordinate_axis.begin(), doc_.coordinate_axis.end(), [&](int a, int b) {
      return property_of_axis[static_cast<std::size_t>(a)] < property_of_axis[static_cast<std::size_t>(b)];
    });
    coordinate_slot_.assign(vertex->properties.size(), 0);
    for (std::size_t k = 0; k < 3; ++k) {
      const auto axis = static_cast<std::size_t>(doc_.coordinate_axis[k]);
      coordinate_slot_[static_cast<std::size_t>(property_of_axis[axis])] = static_cast<int>(k) + 1;
    }
  }

  // Fixed-size binary vertex records need no list of where their coordinates are.
  void find_record_layout() {
    const PlyElement& vertices = doc_.elements[doc_.vertex];
    if (doc_.format == PlyFormat::ascii) return;
    std::size_t size = 0;
    for (std::size_t p = 0; p < vertices.properties.size(); ++p) {
      if (vertices.properties[p].is_list) return;
      if (coordinate_slot_[p] > 0) doc_.record_offset[static_cast<std::size_t>(coordinate_slot_[p] - 1)] = size;
      size += ply_type_size(vertices.properties[p].type);
    }
    doc_.record_size = size;
  }

  // Records a coordinate value of vertex `record`, checked to fit a float; NaN passes.
  void take_coordinate(std::int64_t record, int axis, double value, std::size_t begin) {
    static const char* const names[3] = {"x", "y", "z"};
    const auto ax = static_cast<std::size_t>(axis);
    if (std::isinf(value)) fail(record_name(doc_.vertex, record) + ": " + names[ax] + " is not a finite number");
    if (!fits_single(value))
      fail(record_name(doc_.vertex, record) + ": " + names[ax] + " is out of single-precision range");
    const auto n = static_cast<std::size_t>(doc_.elements[doc_.vertex].count);
    values_[ax * n + static_cast<std::size_t>(record)] = value;
    if (doc_.record_size == 0) doc_.coordinate_begin.push_back(begin);
  }

  void read_binary_body() {
    const bool swap = swaps(doc_.format);
    const std::string& c = doc_.content;
    for (std::size_t e = 0; e < doc_.elements.size(); ++e) {
      PlyElement& element = doc_.elements[e];
      element.begin = pos_;
      const bool is_vertex = e == doc_.vertex;
      // An element without properties has empty records that take no bytes and no lines.
      const std::int64_t records = element.properties.empty() ? 0 : element.count;
      for (std::int64_t r = 0; r < records; ++r) {
        for (std::size_t p = 0; p < element.properties.size(); ++p) {
          const PlyProperty& property = element.properties[p];
          std::size_t bytes = ply_type_size(property.type);
          if (property.is_list) {
            const std::size_t count_size = ply_type_size(property.count_type);
            if (c.size() - pos_ < count_size) truncated(e, r);
            const double length = load(c.data() + pos_, property.count_type, swap);
            if (length < 0.0)
              fail(record_name(e, r) + ": list '" + printable_excerpt(property.name) + "' has a negative length");
            pos_ += count_size;
            if (length > static_cast<double>((c.size() - pos_) / bytes)) truncated(e, r);
            bytes *= static_cast<std::size_t>(length);
          }
          if (c.size() - pos_ < bytes) truncated(e, r);
          if (is_vertex && coordinate_slot_[p] > 0) {
            const int axis = doc_.coordinate_axis[static_cast<std::size_t>(coordinate_slot_[p] - 1)];
            take_coordinate(r, axis, load(c.data() + pos_, property.type, swap), pos_);
          }
          pos_ += bytes;
        }
      }
      element.end = pos_;
    }
    const auto rest = std::string_view(c).substr(pos_);
    if (!std::all_of(rest.begin(), rest.end(), is_space))
      fail(std::to_string(rest.size()) + " bytes follow the last element '" +
           printable_excerpt(doc_.elements.back().name) + "'");
  }

  [[noreturn]] void truncated(std::size_t element, std::int64_t record) const {
    fail("truncated: " + record_name(element, record) + " of " + std::to_string(doc_.elements[element].count) +
         " ends past the end of the file");
  }

  void read_ascii_body() {
    std::vector<Word> words;
    std::string_view line;
    for (std::size_t e = 0; e < doc_.elements.size(); ++e) {
      PlyElement& element = doc_.elements[e];
      element.begin = pos_;
      const bool is_vertex = e == doc_.vertex;
      // An element without properties has empty records that take no bytes and no lines.
      const std::int64_t records = element.properties.empty() ? 0 : element.count;
      for (std::int64_t r = 0; r < records; ++r) {
        do {
          if (!next_line(line))
            fail("truncated: the file ends before " + record_name(e, r) + " of " + std::to_string(element.count));
        } while (std::all_of(line.begin(), line.end(), is_space));
        const auto line_begin = static_cast<std::size_t>(line.data() - doc_.content.data());
        split_words(doc_.content, line_begin, line_begin + line.size(), words);
        const std::string where = "line " + std::to_string(line_) + " (" + record_name(e, r) + "): ";
        std::size_t w = 0;
        for (std::size_t p = 0; p < element.properties.size(); ++p) {
          const PlyProperty& property = element.properties[p];
          long long length = 1;
          if (property.is_list) {
            if (w == words.size()) fail(where + "too few values");
            if (!parse_integer(words[w].text, length) || length < 0)
              fail(where + "list length '" + printable_excerpt(words[w].text) + "' is not a whole number of 0 or more");
            ++w;
          }
          if (static_cast<long long>(words.size() - w) < length) fail(where + "too few values");
          for (long long k = 0; k < length; ++k, ++w) {
            double value = 0.0;
            if (!parse_double(words[w].text, value))
              fail(where + "'" + printable_excerpt(words[w].text) + "' is not a number");
            if (is_vertex && coordinate_slot_[p] > 0) {
              const int axis = doc_.coordinate_axis[static_cast<std::size_t>(coordinate_slot_[p] - 1)];
              take_coordinate(r, axis, value, words[w].offset);
            }
          }
        }
        if (w != words.size())
          fail(where + std::to_string(words.size() - w) + " more value(s) than the element's properties take");
      }
      element.end = pos_;
    }
    while (next_line(line)) {
      if (!std::all_of(line.begin(), line.end(), is_space))
        fail("line " + std::to_string(line_) + ": data after the last element '" +
             printable_excerpt(doc_.elements.back().name) + "'");
    }
  }

  const std::string& name_;
  std::vector<float>& xyz_;
  std::vector<double> values_;  // the coordinates as the file holds them, column-major n x 3
  PlyDocument doc_;
  std::size_t pos_ = 0;
  std::int64_t line_ = 0;
  // For each vertex property: 0, or 1 + its place among the coordinate properties.
  std::vector<int> coordinate_slot_;
};

}  // namespace

std::size_t ply_type_size(PlyType type) {
  switch (type) {
    case PlyType::int8:
    case PlyType::uint8:
      return 1;
    case PlyType::int16:
    case PlyType::uint16:
      return 2;
    case PlyType::int32:
    case PlyType::uint32:
    case PlyType::float32:
      return 4;
    case PlyType::float64:
      return 8;
  }
  return 0;
}

PlyDocument read_ply(std::string content, const std::string& name, std::vector<float>& xyz) {
  return Reader(std::move(content), name, xyz).read();
}

void write_ply(std::ostream& out, const PlyDocument& document, const float* xyz) {
  const std::string& c = document.content;
  const bool swap = swaps(document.format);
  const auto n = static_cast<std::size_t>(document.elements[document.vertex].count);
  std::string buffer;
  std::size_t copied = 0;
  // A binary header ended by a lone "\r" gets "\r\n": a first byte "\n" written after it
  // would read back as part of the line end.
  const std::size_t header_end = document.elements.front().begin;
  if (document.format != PlyFormat::ascii && c[header_end - 1] == '\r') {
    buffer.append(c, 0, header_end).push_back('\n');
    copied = header_end;
  }
  for (std::size_t k = 0; k < 3 * n; ++k) {
    const auto axis = static_cast<std::size_t>(document.coordinate_axis[k % 3]);
    const PlyType type = document.coordinate_type[axis];
    const double origin = document.origin[axis];
    const std::size_t begin = coordinate_start(document, k);
    const float value = xyz[axis * n + k / 3];
    // A coordinate the filter left as it was keeps its bytes or text.
    if (is_unchanged(relative_coordinate(coordinate_value(document, begin, type), origin), value)) continue;
    std::size_t end = begin + ply_type_size(type);
    if (document.format == PlyFormat::ascii) {
      end = begin;
      while (end < c.size() && !is_space(c[end])) ++end;
    }
    buffer.append(c, copied, begin - copied);
    // Added in double, then rounded once to the property's type (with origin 0 the value as it
    // is: adding 0 would turn -0 into +0).
    const double absolute = origin == 0.0 ? static_cast<double>(value) : static_cast<double>(value) + origin;
    if (document.format != PlyFormat::ascii) {
      if (type == PlyType::float32)
        store(buffer, static_cast<float>(absolute), swap);
      else
        store(buffer, absolute, swap);
    } else if (type == PlyType::float32 || origin == 0.0) {
      append_float9(buffer, static_cast<float>(absolute));
    } else {
      append_shortest(buffer, absolute);
    }
    copied = end;
    if (buffer.size() >= flush_size) {
      out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      buffer.clear();
    }
  }
  out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  out.write(c.data() + copied, static_cast<std::streamsize>(document.elements.back().end - copied));
}

TextTable table_from_ply(const PlyDocument& document, const std::string& source, const std::string& target) {
  const std::string cannot = "cannot write " + target + ": a text point file has no place for ";
  const std::string keep = "; write a .ply file to keep them";
  for (std::size_t e = 0; e < document.elements.size(); ++e) {
    const PlyElement& element = document.elements[e];
    if (e != document.vertex && element.count > 0)
      throw Error("Vandrel:cannotConvert", cannot + "the " + std::to_string(element.count) + " '" +
                                               printable_excerpt(element.name) +
                                               "' records of " + source + keep);
  }
  const PlyElement& vertices = document.elements[document.vertex];
  TextTable table;
  table.header = "x,y,z";
  std::vector<std::size_t> extras;
  std::array<bool, 3> seen{};
  for (std::size_t p = 0; p < vertices.properties.size(); ++p) {
    const PlyProperty& property = vertices.properties[p];
    if (property.is_list)
      throw Error("Vandrel:cannotConvert", cannot + "the list property '" + printable_excerpt(property.name) +
                                               "' of the vertices of " + source + keep);
    // The first x, y and z are the coordinates; any repeat is an ordinary property.
    const std::size_t axis = property.name == "x" ? 0 : property.name == "y" ? 1 : property.name == "z" ? 2 : 3;
    if (axis < 3 && !seen[axis]) {
      seen[axis] = true;
      continue;
    }
    extras.push_back(p);
    table.header.append(",").append(csv_label(property.name));
  }
  table.extra_columns = static_cast<std::int32_t>(extras.size());
  table.origin = document.origin;
  // Coordinates as written: ascii ones as they are, binary ones as the shortest decimal of
  // their value in double, so that the text reads back to the very same numbers.
  std::array<std::string, 3> as_text;
  for (std::size_t k = 0; k < 3 * static_cast<std::size_t>(vertices.count); ++k) {
    const auto axis = static_cast<std::size_t>(document.coordinate_axis[k % 3]);
    const std::size_t begin = coordinate_start(document, k);
    std::string& text = as_text[axis];
    text.clear();
    if (document.format == PlyFormat::ascii) {
      std::size_t end = begin;
      while (end < document.content.size() && !is_space(document.content[end])) ++end;
      text.assign(document.content, begin, end - begin);
    } else {
      append_shortest(text, coordinate_value(document, begin, document.coordinate_type[axis]));
    }
    if (k % 3 == 2)
      for (const std::string& coordinate : as_text) table.coordinate_text.append(coordinate).push_back('\n');
  }
  if (extras.empty()) return table;

  const std::string& c = document.content;
  if (document.format == PlyFormat::ascii) {
    // The reader has checked that every record is one line with one word per property.
    std::vector<Word> words;
    const std::string_view records = std::string_view(c).substr(0, vertices.end);
    std::size_t at = vertices.begin;
    while (at < vertices.end) {
      std::size_t next = 0;
      const std::string_view line = line_at(records, at, next);
      split_words(c, at, at + line.size(), words);
      at = next;
      if (words.empty()) continue;
      for (std::size_t p : extras) table.add_extra(words[p].text);
    }
    return table;
  }
  const bool swap = swaps(document.format);
  std::vector<std::size_t> offset(vertices.properties.size() + 1, 0);
  for (std::size_t p = 0; p < vertices.properties.size(); ++p)
    offset[p + 1] = offset[p] + ply_type_size(vertices.properties[p].type);
  std::string text;
  for (std::int64_t r = 0; r < vertices.count; ++r) {
    const std::size_t record = vertices.begin + static_cast<std::size_t>(r) * offset.back();
    for (std::size_t p : extras) {
      const PlyType type = vertices.properties[p].type;
      const double value = load(c.data() + record + offset[p], type, swap);
      text.clear();
      if (is_integer(type))
        text = std::to_string(static_cast<long long>(value));
      else if (type == PlyType::float32)
        append_shortest(text, static_cast<float>(value));
      else
        append_shortest(text, value);
      table.add_extra(text);
    }
  }
  return table;
}

PlyDocument ply_from_table(const TextTable& table, std::int64_t n, const std::string& source,
                           const std::string& target) {
  std::vector<std::string_view> header;
  if (!table.header.empty()) split_csv_line(table.header, header, table.delimiter);
  std::vector<std::string> names = {"x", "y", "z"};
  std::string content = "ply\nformat ascii 1.0\nelement vertex " + std::to_string(n) + "\n";
  // Double where the cloud lies far from zero: float would lose the detail the origin keeps.
  const bool far = table.origin != std::array<double, 3>{};
  for (const char* axis : {"x", "y", "z"}) content += std::string("property ") + (far ? "double " : "float ") + axis + "\n";
  for (std::int32_t column = 0; column < table.extra_columns; ++column) {
    const auto field = static_cast<std::size_t>(table.field_of_extra(column));
    std::string name;
    if (field < header.size()) {
      std::string_view label = header[field];
      if (label.size() >= 2 && label.front() == '"' && label.back() == '"') label = label.substr(1, label.size() - 2);
      for (char ch : label) name.push_back(is_space(ch) || ch == '"' ? '_' : ch);
    }
    if (name.empty() || std::find(names.begin(), names.end(), name) != names.end())
      name = "field" + std::to_string(field + 1);
    while (std::find(names.begin(), names.end(), name) != names.end()) name += "_";
    names.push_back(name);

    bool whole = true;
    for (std::int64_t row = 0; row < n; ++row) {
      const std::string_view value = table.extra(row, column);
      long long integer = 0;
      double real = 0.0;
      if (parse_integer(value, integer)) {
        whole = whole && integer >= std::numeric_limits<std::int32_t>::min() &&
                integer <= std::numeric_limits<std::int32_t>::max();
      } else if (parse_double(value, real)) {
        whole = false;
      } else {
        throw Error("Vandrel:cannotConvert", "cannot write " + target + ": field " + std::to_string(field + 1) +
                                                 " of point " + std::to_string(row + 1) + " of " + source + " ('" +
                                                 printable_excerpt(value) +
                                                 "') is not a number, and a .ply file holds only numbers");
      }
    }
    content += std::string("property ") + (whole ? "int " : "double ") + name + "\n";
  }
  content += "end_header\n";
  std::size_t coordinate_at = 0;
  for (std::int64_t row = 0; row < n; ++row) {
    for (std::int64_t axis = 0; axis < 3; ++axis) {
      if (axis > 0) content.push_back(' ');
      const std::size_t end = table.coordinate_text.find('\n', coordinate_at);
      content.append(table.coordinate_text, coordinate_at, end - coordinate_at);
      coordinate_at = end + 1;
    }
    for (std::int32_t column = 0; column < table.extra_columns; ++column) {
      content.push_back(' ');
      content.append(table.extra(row, column));
    }
    content.push_back('\n');
  }
  std::vector<float> same;
  return read_ply(std::move(content), target, same);
}

}  // namespace vandrel
