#include "pcd_file.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include <lzf.h>

#include "vandrel/error.h"
#include "io/byte_values.h"
#include "io/number_text.h"

namespace vandrel {
namespace {

// PCL writes its binary data in the machine's order, little-endian on every machine it
// ships for.
constexpr bool pcd_little_endian = true;
// LZF's longest back reference, 3 bytes, copies 264 (7 + 255 + 2) bytes; a literal run
// takes a byte more than it copies: no LZF data unpack to more than 88 times their size.
constexpr std::uint64_t lzf_max_expansion = 88;

struct PcdField {
  std::string name;
  std::size_t size = 4;
  char type = 'F';
  std::size_t count = 1;
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && is_space(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !is_space(line[i])) ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// Where the line starting at `pos` ends, past its line end: "\n", "\r\n" or a lone "\r"
// (old Mac files), or the end of the text.
std::size_t line_end(std::string_view text, std::size_t pos) {
  const std::size_t end = text.find_first_of("\r\n", pos);
  if (end == std::string_view::npos) return text.size();
  return text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? end + 2 : end + 1;
}

class Reader {
 public:
  Reader(std::string content, const std::string& name) : content_(std::move(content)), name_(name) {}

  PcdDocument read(std::vector<float>& xyz) {
    read_header();
    const std::size_t data_begin = doc_.header.size();
    if (doc_.data == PcdData::ascii) {
      doc_.body = content_.substr(data_begin);
      read_ascii();
    } else {
      read_binary(data_begin);
      values_.assign(3 * static_cast<std::size_t>(doc_.points), 0.0);
      for (std::int64_t i = 0; i < doc_.points; ++i)
        for (int axis = 0; axis < 3; ++axis) take(i, axis, binary_coordinate(doc_, i, axis));
    }
    const auto& size = doc_.coordinate_size;
    doc_.origin = centre_of_doubles(values_, {size[0] == 8, size[1] == 8, size[2] == 8});
    const std::size_t n = static_cast<std::size_t>(doc_.points);
    xyz.assign(3 * n, 0.0f);
    for (std::size_t axis = 0; axis < 3; ++axis)
      for (std::size_t i = 0; i < n; ++i) xyz[axis * n + i] = static_cast<float>(values_[axis * n + i] - doc_.origin[axis]);
    return std::move(doc_);
  }

  // The header's account of the data; content_ may be the file's first bytes only.
  PcdShape shape() {
    read_header();
    PcdShape found;
    found.data = doc_.data;
    found.points = doc_.points;
    for (const PcdField& field : fields_) found.point_bytes += field.size * field.count;
    const std::size_t data_begin = doc_.header.size();
    if (doc_.data == PcdData::binary_compressed && content_.size() - data_begin >= 8)
      found.unpacked_bytes = load_value<std::uint32_t>(content_.data() + data_begin + 4, pcd_little_endian);
    return found;
  }

  // A coordinate as the filter sees it.
  static float relative(const PcdDocument& doc, double value, std::size_t axis) {
    return static_cast<float>(value - doc.origin[axis]);
  }

  static double binary_coordinate(const PcdDocument& doc, std::int64_t point, int axis) {
    const auto a = static_cast<std::size_t>(axis);
    const char* p = doc.body.data() + doc.coordinate_begin[a] + static_cast<std::size_t>(point) * doc.coordinate_stride[a];
    return doc.coordinate_size[a] == 8 ? load_value<double>(p, pcd_little_endian)
                                       : static_cast<double>(load_value<float>(p, pcd_little_endian));
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw Error("Vandrel:badPcdFile", "'" + name_ + "': " + what);
  }
  [[noreturn]] void fail_line(int line, const std::string& what) const {
    fail("header line " + std::to_string(line) + ": " + what);
  }

  long long number(std::string_view word, int line, long long least) const {
    long long value = 0;
    if (!parse_integer(word, value) || value < least)
      fail_line(line, "'" + std::string(word) + "' is not an integer >= " + std::to_string(least));
    return value;
  }

  void read_header() {
    std::size_t pos = 0;
    int line_number = 0;
    std::vector<std::string_view> sizes, types, counts;
    int size_line = 0, count_line = 0;
    long long width = -1, height = -1, points = -1;
    bool has_fields = false;
    while (true) {
      ++line_number;
      if (pos >= content_.size()) fail("the header ends before its DATA line");
      const std::size_t end = line_end(content_, pos);
      const std::string_view line = std::string_view(content_).substr(pos, end - pos);
      pos = end;
      const auto words = split_words(line);
      if (words.empty() || words[0].starts_with("#")) continue;
      const std::string_view key = words[0];
      const std::vector<std::string_view> values(words.begin() + 1, words.end());
      if (key == "VERSION" || key == "VIEWPOINT") {
        continue;
      } else if (key == "FIELDS" || key == "COLUMNS") {
        has_fields = true;
        for (const auto v : values) fields_.push_back({std::string(v)});
      } else if (key == "SIZE") {
        sizes = values;
        size_line = line_number;
      } else if (key == "TYPE") {
        types = values;
      } else if (key == "COUNT") {
        counts = values;
        count_line = line_number;
      } else if (key == "WIDTH" && values.size() == 1) {
        width = number(values[0], line_number, 0);
      } else if (key == "HEIGHT" && values.size() == 1) {
        height = number(values[0], line_number, 0);
      } else if (key == "POINTS" && values.size() == 1) {
        points = number(values[0], line_number, 0);
      } else if (key == "DATA" && values.size() == 1) {
        if (values[0] == "ascii")
          doc_.data = PcdData::ascii;
        else if (values[0] == "binary")
          doc_.data = PcdData::binary;
        else if (values[0] == "binary_compressed")
          doc_.data = PcdData::binary_compressed;
        else
          fail_line(line_number, "unknown DATA kind '" + std::string(values[0]) + "'");
        break;
      } else {
        fail_line(line_number, "unexpected '" + std::string(line.substr(0, line.find_last_not_of("\r\n") + 1)) + "'");
      }
    }
    doc_.header = content_.substr(0, pos);
    if (!has_fields || fields_.empty()) fail("the header names no FIELDS");
    if (sizes.size() != fields_.size() || types.size() != fields_.size() ||
        (!counts.empty() && counts.size() != fields_.size()))
      fail("the header's SIZE, TYPE and COUNT do not give one entry per field");
    if (width < 0 || height < 0) fail("the header lacks WIDTH or HEIGHT");
    if (height != 0 && width > std::numeric_limits<std::int64_t>::max() / height) fail("WIDTH x HEIGHT is too large");
    doc_.points = width * height;
    if (points >= 0 && points != doc_.points)
      fail("POINTS " + std::to_string(points) + " is not WIDTH x HEIGHT = " + std::to_string(doc_.points));
    if (doc_.points == 0) fail("the file holds no points");

    std::array<int, 3> field_of_axis{-1, -1, -1};
    for (std::size_t f = 0; f < fields_.size(); ++f) {
      PcdField& field = fields_[f];
      const long long size = number(sizes[f], size_line, 1);
      const std::string_view type = types[f];
      const long long count = counts.empty() ? 1 : number(counts[f], count_line, 1);
      const bool valid = type.size() == 1 &&
                         ((type[0] == 'F' && (size == 4 || size == 8)) ||
                          ((type[0] == 'I' || type[0] == 'U') && (size == 1 || size == 2 || size == 4 || size == 8)));
      if (!valid)
        fail("field '" + field.name + "' has TYPE " + std::string(type) + " and SIZE " + std::to_string(size) +
             ", which PCD does not define");
      if (count > (1 << 24)) fail("field '" + field.name + "' has a COUNT beyond reason");
      field.size = static_cast<std::size_t>(size);
      field.type = type[0];
      field.count = static_cast<std::size_t>(count);
      for (int axis = 0; axis < 3; ++axis) {
        if (field.name == std::string(1, static_cast<char>('x' + axis)) && field_of_axis[static_cast<std::size_t>(axis)] < 0) {
          if (field.type != 'F' || field.count != 1)
            fail("field '" + field.name + "' must be TYPE F, SIZE 4 or 8, COUNT 1 to hold a coordinate");
          field_of_axis[static_cast<std::size_t>(axis)] = static_cast<int>(f);
          doc_.coordinate_size[static_cast<std::size_t>(axis)] = field.size;
        }
      }
    }
    for (int axis = 0; axis < 3; ++axis)
      if (field_of_axis[static_cast<std::size_t>(axis)] < 0)
        fail("the file has no field '" + std::string(1, static_cast<char>('x' + axis)) + "'");
    field_of_axis_ = field_of_axis;
  }

  void read_binary(std::size_t data_begin) {
    std::size_t point_size = 0;
    for (const PcdField& field : fields_) point_size += field.size * field.count;
    const auto n = static_cast<std::size_t>(doc_.points);
    if (n > std::numeric_limits<std::size_t>::max() / point_size) fail("WIDTH x HEIGHT is too large");
    const std::size_t data_size = n * point_size;
    const std::size_t available = content_.size() - data_begin;
    if (doc_.data == PcdData::binary) {
      if (data_size > available)
        fail("truncated: " + std::to_string(n) + " points of " + std::to_string(point_size) + " bytes need " +
             std::to_string(data_size) + " bytes of data, the file holds " + std::to_string(available));
      doc_.body = content_.substr(data_begin, data_size);
      doc_.trailer = content_.substr(data_begin + data_size);
      std::size_t field_offset = 0;
      for (std::size_t f = 0; f < fields_.size(); ++f) {
        for (std::size_t axis = 0; axis < 3; ++axis) {
          if (field_of_axis_[axis] != static_cast<int>(f)) continue;
          doc_.coordinate_begin[axis] = field_offset;
          doc_.coordinate_stride[axis] = point_size;
          doc_.coordinate_size[axis] = fields_[f].size;
        }
        field_offset += fields_[f].size * fields_[f].count;
      }
      return;
    }
    if (available < 8) fail("truncated: no compressed data sizes after the header");
    const std::uint32_t compressed = load_value<std::uint32_t>(content_.data() + data_begin, pcd_little_endian);
    const std::uint32_t uncompressed = load_value<std::uint32_t>(content_.data() + data_begin + 4, pcd_little_endian);
    if (uncompressed != data_size)
      fail("the compressed data unpack to " + std::to_string(uncompressed) + " bytes, but " + std::to_string(n) +
           " points of " + std::to_string(point_size) + " bytes need " + std::to_string(data_size));
    if (compressed > available - 8) fail("truncated: the compressed data end past the end of the file");
    // Checked before the unpacked data are set aside: a small file cannot claim gigabytes.
    if (static_cast<std::uint64_t>(uncompressed) > lzf_max_expansion * static_cast<std::uint64_t>(compressed))
      fail("the header's " + std::to_string(n) + " points need " + std::to_string(data_size) +
           " bytes, which " + std::to_string(compressed) + " bytes of compressed data cannot hold (LZF unpacks to at most " +
           std::to_string(lzf_max_expansion) + " times its size)");
    doc_.body.assign(data_size, '\0');
    const unsigned got = lzf_decompress(content_.data() + data_begin + 8, compressed, doc_.body.data(),
                                        static_cast<unsigned>(data_size));
    if (got != data_size) fail("the compressed data are corrupt");
    doc_.trailer = content_.substr(data_begin + 8 + compressed);
    // Compressed data hold each field's values for all points together, field after field.
    std::size_t block = 0;
    for (std::size_t f = 0; f < fields_.size(); ++f) {
      for (std::size_t axis = 0; axis < 3; ++axis) {
        if (field_of_axis_[axis] != static_cast<int>(f)) continue;
        doc_.coordinate_begin[axis] = block;
        doc_.coordinate_stride[axis] = fields_[f].size;
        doc_.coordinate_size[axis] = fields_[f].size;
      }
      block += fields_[f].size * fields_[f].count * n;
    }
  }

  void read_ascii() {
    std::size_t values_per_point = 0;
    for (const PcdField& field : fields_) values_per_point += field.count;
    // The place of each coordinate among a line's values, in line order.
    std::array<std::size_t, 3> value_of_axis{};
    std::size_t first_value = 0;
    for (std::size_t f = 0; f < fields_.size(); ++f) {
      for (std::size_t axis = 0; axis < 3; ++axis)
        if (field_of_axis_[axis] == static_cast<int>(f)) value_of_axis[axis] = first_value;
      first_value += fields_[f].count;
    }
    std::array<int, 3> order{0, 1, 2};
    std::sort(order.begin(), order.end(), [&](int a, int b) {
      return value_of_axis[static_cast<std::size_t>(a)] < value_of_axis[static_cast<std::size_t>(b)];
    });
    doc_.token_axis = order;

    const auto n = static_cast<std::size_t>(doc_.points);
    // Every point takes at least one character per value and a line end.
    if (n > doc_.body.size() / (values_per_point + 1))
      fail("truncated: the header declares " + std::to_string(n) + " points, more than the file holds");
    values_.assign(3 * n, 0.0);
    doc_.token_begin.reserve(3 * n);
    doc_.token_end.reserve(3 * n);
    const std::string& body = doc_.body;
    std::size_t pos = 0;
    std::int64_t point = 0;
    std::vector<std::string_view> words;
    while (point < doc_.points) {
      if (pos >= body.size())
        fail("truncated: " + std::to_string(point) + " of " + std::to_string(doc_.points) + " points");
      const std::size_t end = line_end(body, pos);
      words = split_words(std::string_view(body).substr(pos, end - pos));
      pos = end;
      if (words.empty()) continue;
      if (words.size() != values_per_point)
        fail("point " + std::to_string(point) + ": " + std::to_string(words.size()) + " values, the fields need " +
             std::to_string(values_per_point));
      for (const int axis : order) {
        const std::string_view word = words[value_of_axis[static_cast<std::size_t>(axis)]];
        double value = 0.0;
        if (!parse_double(word, value))
          fail("point " + std::to_string(point) + ": " + static_cast<char>('x' + axis) + " '" + std::string(word) +
               "' is not a number");
        take(point, axis, value);
        const auto begin = static_cast<std::size_t>(word.data() - body.data());
        doc_.token_begin.push_back(begin);
        doc_.token_end.push_back(begin + word.size());
      }
      ++point;
    }
    if (std::string_view(body).substr(pos).find_first_not_of(" \t\r\n\v\f") != std::string_view::npos)
      fail("more data than the header's " + std::to_string(doc_.points) + " points");
  }

  void take(std::int64_t point, int axis, double value) {
    if (std::isinf(value) || std::abs(value) > static_cast<double>(std::numeric_limits<float>::max()))
      fail("point " + std::to_string(point) + ": " + static_cast<char>('x' + axis) + " is " +
           (std::isinf(value) ? "infinite" : "beyond single-precision range"));
    values_[static_cast<std::size_t>(axis) * static_cast<std::size_t>(doc_.points) + static_cast<std::size_t>(point)] =
        value;
  }

  std::string content_;
  const std::string& name_;
  PcdDocument doc_;
  std::vector<PcdField> fields_;
  std::array<int, 3> field_of_axis_{-1, -1, -1};
  std::vector<double> values_;  // the coordinates as the file holds them, column-major
};

}  // namespace

PcdDocument read_pcd(std::string content, const std::string& name, std::vector<float>& xyz) {
  return Reader(std::move(content), name).read(xyz);
}

PcdShape read_pcd_shape(std::string head, const std::string& name) { return Reader(std::move(head), name).shape(); }

void write_pcd(std::ostream& out, const PcdDocument& document, const float* xyz, const std::string& name) {
  const auto n = static_cast<std::size_t>(document.points);
  std::string bytes = document.header;
  if (document.data == PcdData::ascii) {
    const std::string& body = document.body;
    bytes.reserve(bytes.size() + body.size() + body.size() / 4);
    std::size_t copied = 0;
    for (std::size_t k = 0; k < document.token_begin.size(); ++k) {
      const std::size_t begin = document.token_begin[k];
      const std::size_t end = document.token_end[k];
      bytes.append(body, copied, begin - copied);
      copied = end;
      const auto axis = static_cast<std::size_t>(document.token_axis[k % 3]);
      const float filtered = xyz[axis * n + k / 3];
      double original = 0.0;
      parse_double(std::string_view(body).substr(begin, end - begin), original);
      if (is_unchanged(Reader::relative(document, original, axis), filtered))
        bytes.append(body, begin, end - begin);
      else if (document.coordinate_size[axis] == 8)
        append_shortest(bytes, static_cast<double>(filtered) + document.origin[axis]);
      else
        append_float9(bytes, filtered);
    }
    bytes.append(body, copied);
  } else {
    // A header ended by a lone "\r" gets "\r\n": a first byte "\n" written after it would
    // read back as part of the line end.
    if (bytes.ends_with('\r')) bytes.push_back('\n');
    std::string data = document.body;
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t axis = 0; axis < 3; ++axis) {
        const float filtered = xyz[axis * n + i];
        const auto point = static_cast<std::int64_t>(i);
        const double original = Reader::binary_coordinate(document, point, static_cast<int>(axis));
        if (is_unchanged(Reader::relative(document, original, axis), filtered)) continue;
        char* p = data.data() + document.coordinate_begin[axis] + i * document.coordinate_stride[axis];
        if (document.coordinate_size[axis] == 8)
          store_value<double>(p, static_cast<double>(filtered) + document.origin[axis], pcd_little_endian);
        else
          store_value<float>(p, filtered, pcd_little_endian);
      }
    }
    if (document.data == PcdData::binary) {
      // Written piece by piece: the data are not copied once more.
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      out.write(data.data(), static_cast<std::streamsize>(data.size()));
      out.write(document.trailer.data(), static_cast<std::streamsize>(document.trailer.size()));
      return;
    }
    if (data.size() > std::numeric_limits<std::uint32_t>::max() / 2)
      throw Error("Vandrel:cannotWrite", "cannot write '" + name + "': too many points for compressed PCD data");
    // LZF can grow incompressible data by about 1/32; leave room for that.
    std::string packed(data.size() + data.size() / 16 + 64, '\0');
    const unsigned size = lzf_compress(data.data(), static_cast<unsigned>(data.size()), packed.data(),
                                       static_cast<unsigned>(packed.size()));
    if (size == 0)
      throw Error("Vandrel:cannotWrite", "cannot write '" + name + "': the point data do not compress");
    char sizes[8];
    store_value<std::uint32_t>(sizes, size, pcd_little_endian);
    store_value<std::uint32_t>(sizes + 4, static_cast<std::uint32_t>(data.size()), pcd_little_endian);
    bytes.append(sizes, 8);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.write(packed.data(), static_cast<std::streamsize>(size));
    out.write(document.trailer.data(), static_cast<std::streamsize>(document.trailer.size()));
    return;
  }
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace vandrel
