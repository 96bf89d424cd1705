#include "las_file.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "vandrel/error.h"
#include "io/byte_values.h"
#include "io/number_text.h"

namespace vandrel {
namespace {

// Places in the public header block (LAS is little-endian throughout).
constexpr std::size_t version_major_at = 24;
constexpr std::size_t version_minor_at = 25;
constexpr std::size_t header_size_at = 94;
constexpr std::size_t points_begin_at = 96;
constexpr std::size_t point_format_at = 104;
constexpr std::size_t record_length_at = 105;
constexpr std::size_t legacy_point_count_at = 107;
constexpr std::size_t scale_at = 131;
constexpr std::size_t offset_at = 155;
constexpr std::size_t extents_at = 179;  // max x, min x, max y, min y, max z, min z
static_assert(extents_at + 48 == las_extents_end);
constexpr std::size_t evlr_begin_at = 235;    // 64-bit, LAS 1.4
constexpr std::size_t evlr_count_at = 243;
constexpr std::size_t point_count_at = 247;  // 64-bit, LAS 1.4
constexpr std::size_t evlr_header_size = 60;
constexpr std::size_t evlr_length_at = 20;  // in an EVLR's header
constexpr std::size_t header_size_before_1_4 = 227;
constexpr std::size_t header_size_1_4 = 375;
// Bytes of each point data record format 0..10 before any extra bytes.
constexpr std::size_t minimum_record_length[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};

[[noreturn]] void fail(const std::string& name, const std::string& what) {
  throw Error("Vandrel:badLasFile", "'" + name + "': " + what);
}

}  // namespace

LasDocument las_layout(std::uint64_t file_size, const ReadFileBytes& read, const std::string& name) {
  LasDocument doc;
  const std::string head = read(0, static_cast<std::size_t>(std::min<std::uint64_t>(file_size, header_size_1_4)));
  const char* c = head.data();
  if (file_size < header_size_before_1_4 || std::string_view(head).substr(0, 4) != "LASF") fail(name, "not a LAS file");
  const int major = static_cast<unsigned char>(c[version_major_at]);
  const int minor = static_cast<unsigned char>(c[version_minor_at]);
  if (major != 1 || minor > 4)
    fail(name, "LAS version " + std::to_string(major) + "." + std::to_string(minor) + " is not supported (1.0 to 1.4)");
  const std::size_t header_size = load_value<std::uint16_t>(c + header_size_at, true);
  if (header_size < header_size_before_1_4 || header_size > file_size)
    fail(name, "header size " + std::to_string(header_size) + " is not possible");
  const auto format = static_cast<unsigned char>(c[point_format_at]);
  // LASzip marks compressed point data by setting the format's top bits.
  if ((format & 0xC0) != 0)
    fail(name, "the point data are compressed (LAZ); decompress the file first, e.g. with "
               "'laszip -i in.laz -o in.las' or 'pdal translate in.laz in.las'");
  if (format > 10) fail(name, "point data record format " + std::to_string(format) + " is not supported (0 to 10)");
  doc.point_format = format;
  doc.record_length = load_value<std::uint16_t>(c + record_length_at, true);
  if (doc.record_length < minimum_record_length[format])
    fail(name, "point records of " + std::to_string(doc.record_length) + " bytes are too short for format " +
                   std::to_string(format));
  doc.points_begin = load_value<std::uint32_t>(c + points_begin_at, true);
  if (doc.points_begin < header_size || doc.points_begin > file_size)
    fail(name, "the offset to the point data (" + std::to_string(doc.points_begin) + ") is not possible");
  std::uint64_t count = load_value<std::uint32_t>(c + legacy_point_count_at, true);
  // LAS 1.4 keeps the count in 64 bits; the 32-bit one is zero for formats 6 to 10.
  if (minor >= 4 && header_size >= header_size_1_4) {
    const auto count_1_4 = load_value<std::uint64_t>(c + point_count_at, true);
    if (count_1_4 != 0) count = count_1_4;
  }
  if (count == 0) fail(name, "the file holds no points");
  if (count > (file_size - doc.points_begin) / doc.record_length)
    fail(name, "truncated: " + std::to_string(count) + " point records of " + std::to_string(doc.record_length) +
                   " bytes do not fit in the file");
  doc.points = static_cast<std::int64_t>(count);
  // The extended VLRs after the points are carried through: a file cut short in them is corrupt.
  if (minor >= 4 && header_size >= header_size_1_4) {
    const std::uint32_t evlrs = load_value<std::uint32_t>(c + evlr_count_at, true);
    std::uint64_t at = evlrs == 0 ? 0 : load_value<std::uint64_t>(c + evlr_begin_at, true);
    // Extended VLRs that overlap the point records would be rewritten with the points.
    const std::uint64_t points_end = doc.points_begin + count * doc.record_length;
    for (std::uint32_t k = 0; k < evlrs; ++k) {
      if (at < points_end) fail(name, "extended VLR " + std::to_string(k) + " overlaps the point records");
      if (at > file_size || file_size - at < evlr_header_size)
        fail(name, "truncated: extended VLR " + std::to_string(k) + " lies past the end of the file");
      const auto length = load_value<std::uint64_t>(read(at + evlr_length_at, 8).data(), true);
      if (length > file_size - at - evlr_header_size)
        fail(name, "truncated: extended VLR " + std::to_string(k) + " ends past the end of the file");
      at += evlr_header_size + length;
    }
  }
  for (std::size_t axis = 0; axis < 3; ++axis) {
    doc.scale[axis] = load_value<double>(c + scale_at + 8 * axis, true);
    doc.offset[axis] = load_value<double>(c + offset_at + 8 * axis, true);
    if (!std::isfinite(doc.scale[axis]) || doc.scale[axis] == 0.0 || !std::isfinite(doc.offset[axis]))
      fail(name, std::string("the header's ") + static_cast<char>('x' + axis) + " scale or offset is not usable");
  }
  return doc;
}

std::array<double, 3> las_origin(const Extents& extents, const std::string& name) {
  std::array<double, 3> origin{};
  for (std::size_t axis = 0; axis < 3; ++axis) {
    origin[axis] = extents.centre(axis);
    if (!(extents.most[axis] - extents.least[axis] <= static_cast<double>(std::numeric_limits<float>::max())))
      fail(name, std::string("the points' ") + static_cast<char>('x' + axis) + " extent is beyond single-precision range");
  }
  return origin;
}

std::int32_t las_integer_for(const LasDocument& layout, std::int32_t integer, float filtered, std::size_t axis,
                             std::int64_t point, const std::string& name) {
  if (is_unchanged(las_relative(layout, integer, axis), filtered)) return integer;
  const double quantised =
      std::nearbyint((static_cast<double>(filtered) + layout.origin[axis] - layout.offset[axis]) / layout.scale[axis]);
  if (!(quantised >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
        quantised <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    std::string message = "cannot write '" + name + "': point " + std::to_string(point) + ": " +
                          static_cast<char>('x' + axis) + " = ";
    append_shortest(message, static_cast<double>(filtered) + layout.origin[axis]);
    message += " does not fit a 32-bit LAS coordinate at the file's scale ";
    append_shortest(message, layout.scale[axis]);
    message += " and offset ";
    append_shortest(message, layout.offset[axis]);
    throw Error("Vandrel:cannotWrite", message);
  }
  return static_cast<std::int32_t>(quantised);
}

void store_las_extents(char* header, const Extents& read, const Extents& written) {
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (written.most[axis] != read.most[axis])
      store_value<double>(header + extents_at + 16 * axis, written.most[axis], true);
    if (written.least[axis] != read.least[axis])
      store_value<double>(header + extents_at + 16 * axis + 8, written.least[axis], true);
  }
}

LasDocument read_las(std::string content, const std::string& name, std::vector<float>& xyz) {
  LasDocument doc = las_layout(
      content.size(), [&](std::uint64_t at, std::size_t size) { return content.substr(at, size); }, name);
  doc.content = std::move(content);
  const char* records = doc.content.data() + doc.points_begin;
  const auto n = static_cast<std::size_t>(doc.points);
  Extents extents;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t axis = 0; axis < 3; ++axis)
      extents.add(axis, las_coordinate(doc, las_record_integer(records + i * doc.record_length, axis), axis));
  doc.origin = las_origin(extents, name);
  xyz.assign(3 * n, 0.0f);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t axis = 0; axis < 3; ++axis)
      xyz[axis * n + i] = las_relative(doc, las_record_integer(records + i * doc.record_length, axis), axis);
  return doc;
}

std::vector<std::uint8_t> las_classes(const LasDocument& document) {
  std::vector<std::uint8_t> classes(static_cast<std::size_t>(document.points));
  const char* records = document.content.data() + document.points_begin;
  for (std::size_t i = 0; i < classes.size(); ++i)
    classes[i] = las_record_class(records + i * document.record_length, document.point_format);
  return classes;
}

std::vector<LasReturn> las_returns(const LasDocument& document) {
  std::vector<LasReturn> returns(static_cast<std::size_t>(document.points));
  const char* records = document.content.data() + document.points_begin;
  for (std::size_t i = 0; i < returns.size(); ++i)
    returns[i] = las_record_return(records + i * document.record_length, document.point_format);
  return returns;
}

void write_las(std::ostream& out, const LasDocument& document, const float* xyz, const std::string& name) {
  std::string bytes = document.content;
  const auto n = static_cast<std::size_t>(document.points);
  Extents read;
  Extents written;
  for (std::size_t i = 0; i < n; ++i) {
    char* record = bytes.data() + document.points_begin + i * document.record_length;
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const std::int32_t original = las_record_integer(record, axis);
      const std::int32_t integer =
          las_integer_for(document, original, xyz[axis * n + i], axis, static_cast<std::int64_t>(i), name);
      store_value<std::int32_t>(record + 4 * axis, integer, true);
      read.add(axis, las_coordinate(document, original, axis));
      written.add(axis, las_coordinate(document, integer, axis));
    }
  }
  store_las_extents(bytes.data(), read, written);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace vandrel
