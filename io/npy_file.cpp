#include "npy_file.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

#include "vandrel/error.h"
#include "io/byte_values.h"
#include "io/number_text.h"

namespace vandrel {
namespace {

constexpr std::string_view npy_magic = "\x93NUMPY";

[[noreturn]] void fail(const std::string& name, const std::string& what) {
  throw Error("Vandrel:badNpyFile", "'" + name + "': " + what);
}

// The text after `key`'s colon in the header's dictionary, with leading spaces skipped.
std::optional<std::string_view> value_of(std::string_view header, std::string_view key) {
  for (const char quote : {'\'', '"'}) {
    const std::string quoted = quote + std::string(key) + quote;
    const std::size_t at = header.find(quoted);
    if (at == std::string_view::npos) continue;
    std::size_t i = at + quoted.size();
    while (i < header.size() && header[i] == ' ') ++i;
    if (i == header.size() || header[i] != ':') return std::nullopt;
    ++i;
    while (i < header.size() && header[i] == ' ') ++i;
    return header.substr(i);
  }
  return std::nullopt;
}

// Byte offset, from the start of the array, of element (row, column).
std::size_t element_offset(const NpyDocument& doc, std::int64_t row, std::int64_t column) {
  const std::int64_t index = doc.fortran_order ? column * doc.rows + row : row * doc.columns + column;
  return static_cast<std::size_t>(index) * (doc.is_double ? 8u : 4u);
}

}  // namespace

NpyDocument npy_layout(std::uint64_t file_size, const ReadFileBytes& read, const std::string& name) {
  NpyDocument doc;
  const std::string preamble = read(0, static_cast<std::size_t>(std::min<std::uint64_t>(file_size, 12)));
  if (file_size < 10 || std::string_view(preamble).substr(0, 6) != npy_magic) fail(name, "not a .npy file");
  const auto major = static_cast<unsigned char>(preamble[6]);
  std::size_t header_size = 0;
  std::size_t header_begin = 0;
  if (major == 1) {
    header_size = load_value<std::uint16_t>(preamble.data() + 8, true);
    header_begin = 10;
  } else if (major == 2 || major == 3) {
    if (file_size < 12) fail(name, "truncated header");
    header_size = load_value<std::uint32_t>(preamble.data() + 8, true);
    header_begin = 12;
  } else {
    fail(name, "unsupported .npy format version " + std::to_string(major));
  }
  if (header_size > file_size - header_begin) fail(name, "truncated header");
  const std::string header_text = read(header_begin, header_size);
  const std::string_view header = header_text;
  doc.data_begin = header_begin + header_size;

  const auto descr = value_of(header, "descr");
  if (!descr || descr->size() < 5 || (descr->front() != '\'' && descr->front() != '"'))
    fail(name, "the header names no plain dtype ('descr')");
  const std::string_view type = descr->substr(1, 3);
  if (descr->at(4) != descr->front() || (type[0] != '<' && type[0] != '>' && type[0] != '=') ||
      (type.substr(1) != "f4" && type.substr(1) != "f8"))
    fail(name, "the array's dtype " + std::string(descr->substr(0, descr->find_first_of(",}"))) +
                   " is not float32 or float64");
  doc.little_endian = type[0] == '<' || (type[0] == '=' && std::endian::native == std::endian::little);
  doc.is_double = type.substr(1) == "f8";

  const auto order = value_of(header, "fortran_order");
  if (!order || (!order->starts_with("True") && !order->starts_with("False")))
    fail(name, "the header has no 'fortran_order'");
  doc.fortran_order = order->starts_with("True");

  const auto shape = value_of(header, "shape");
  if (!shape || !shape->starts_with("(")) fail(name, "the header has no 'shape'");
  const std::string_view dims = shape->substr(1, shape->find(')') == std::string_view::npos ? 0 : shape->find(')') - 1);
  std::vector<long long> extents;
  std::size_t start = 0;
  while (start < dims.size()) {
    std::size_t stop = dims.find(',', start);
    if (stop == std::string_view::npos) stop = dims.size();
    std::string_view token = dims.substr(start, stop - start);
    while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
    while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
    long long extent = 0;
    if (!token.empty()) {
      if (!parse_integer(token, extent) || extent < 0) fail(name, "malformed 'shape' (" + std::string(dims) + ")");
      extents.push_back(extent);
    }
    start = stop + 1;
  }
  if (extents.size() != 2 || extents[1] < 3)
    fail(name, "the array's shape (" + std::string(dims) + ") is not N x 3 or N x k with k >= 3");
  doc.rows = extents[0];
  doc.columns = extents[1];
  if (doc.rows == 0) fail(name, "the array has no rows");
  const std::uint64_t item = doc.is_double ? 8 : 4;
  const std::uint64_t available = file_size - doc.data_begin;
  if (static_cast<unsigned long long>(doc.columns) > available / item ||
      static_cast<unsigned long long>(doc.rows) > available / item / static_cast<std::uint64_t>(doc.columns))
    fail(name, "truncated: the shape (" + std::string(dims) + ") needs more data than the file holds");
  return doc;
}

double npy_value(const NpyDocument& layout, const char* p) {
  return layout.is_double ? load_value<double>(p, layout.little_endian)
                          : static_cast<double>(load_value<float>(p, layout.little_endian));
}

void check_npy_coordinate(double value, std::int64_t row, std::size_t axis, const std::string& name) {
  constexpr const char* axis_names[] = {"x", "y", "z"};
  if (std::isinf(value) || std::abs(value) > static_cast<double>(std::numeric_limits<float>::max()))
    fail(name, "row " + std::to_string(row) + ": " + axis_names[axis] + " is " +
                   (std::isinf(value) ? "infinite" : "beyond single-precision range"));
}

void store_npy_coordinate(const NpyDocument& layout, char* p, std::size_t axis, float filtered) {
  if (is_unchanged(relative_coordinate(npy_value(layout, p), layout.origin[axis]), filtered)) return;
  if (layout.is_double)
    store_value<double>(p, static_cast<double>(filtered) + layout.origin[axis], layout.little_endian);
  else
    store_value<float>(p, filtered, layout.little_endian);
}

NpyDocument read_npy(std::string content, const std::string& name, std::vector<float>& xyz) {
  NpyDocument doc = npy_layout(
      content.size(), [&](std::uint64_t at, std::size_t size) { return content.substr(at, size); }, name);
  doc.content = std::move(content);
  const char* data = doc.content.data() + doc.data_begin;
  // First every coordinate is checked and the extents found, then the coordinates are
  // taken relative to their centre.
  Extents extents;
  for (std::int64_t row = 0; row < doc.rows; ++row) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const double value = npy_value(doc, data + element_offset(doc, row, static_cast<std::int64_t>(axis)));
      check_npy_coordinate(value, row, axis, name);
      extents.add(axis, value);
    }
  }
  if (doc.is_double)
    for (std::size_t axis = 0; axis < 3; ++axis) doc.origin[axis] = extents.centre(axis);
  const auto n = static_cast<std::size_t>(doc.rows);
  xyz.assign(3 * n, 0.0f);
  for (std::size_t axis = 0; axis < 3; ++axis)
    for (std::size_t i = 0; i < n; ++i)
      xyz[axis * n + i] = relative_coordinate(
          npy_value(doc, data + element_offset(doc, static_cast<std::int64_t>(i), static_cast<std::int64_t>(axis))),
          doc.origin[axis]);
  return doc;
}

void write_npy(std::ostream& out, const NpyDocument& document, const float* xyz) {
  std::string bytes = document.content;
  const auto n = static_cast<std::size_t>(document.rows);
  for (std::int64_t row = 0; row < document.rows; ++row)
    for (std::size_t axis = 0; axis < 3; ++axis)
      store_npy_coordinate(document,
                           bytes.data() + document.data_begin + element_offset(document, row, static_cast<std::int64_t>(axis)),
                           axis, xyz[axis * n + static_cast<std::size_t>(row)]);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace vandrel
