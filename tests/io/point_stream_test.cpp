#include "io/point_stream.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <sstream>

#include "format_test_util.h"
#include "io/byte_values.h"

namespace vandrel {
namespace {

using testing::expect_error;
using testing::ScratchDir;
using testing::test_file;
using testing::write_file;

// A C-order .npy file of rows x columns values value(row, column) in `descr` (e.g. "<f8"),
// with `trailing` bytes after the array.
std::string npy_file(const std::string& descr, std::int64_t rows, int columns,
                     const std::function<double(std::int64_t, int)>& value, const std::string& trailing = "") {
  std::string header = "{'descr': '" + descr + "', 'fortran_order': False, 'shape': (" + std::to_string(rows) + ", " +
                       std::to_string(columns) + "), }";
  header.append(63 - (10 + header.size()) % 64, ' ');
  header += '\n';
  std::string bytes = std::string("\x93NUMPY\x01\x00", 8);
  bytes += static_cast<char>(header.size() & 0xff);
  bytes += static_cast<char>(header.size() >> 8);
  bytes += header;
  const bool little = descr[0] == '<';
  const bool is_double = descr.substr(1) == "f8";
  for (std::int64_t row = 0; row < rows; ++row) {
    for (int column = 0; column < columns; ++column) {
      char item[8];
      if (is_double)
        store_value<double>(item, value(row, column), little);
      else
        store_value<float>(item, static_cast<float>(value(row, column)), little);
      bytes.append(item, is_double ? 8 : 4);
    }
  }
  return bytes + trailing;
}

// Column-major n x 3 coordinates read from `stream` in calls of `rows_per_call` rows.
std::vector<float> read_all(const PointStream& stream, std::int64_t rows_per_call) {
  const auto n = static_cast<std::size_t>(stream.rows());
  std::vector<float> xyz(3 * n);
  std::vector<Point> points;
  for (std::int64_t first = 0; first < stream.rows(); first += rows_per_call) {
    points.resize(static_cast<std::size_t>(std::min(rows_per_call, stream.rows() - first)));
    stream.read(first, points);
    for (std::size_t i = 0; i < points.size(); ++i)
      for (std::size_t axis = 0; axis < 3; ++axis) xyz[axis * n + static_cast<std::size_t>(first) + i] = points[i][axis];
  }
  return xyz;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) return false;
  return true;
}

// The callback of PointStream::write giving rows of column-major `xyz`; it records the
// rows it was asked for, to check that each pass asks for every row once, in order.
struct FilteredRows {
  const std::vector<float>& xyz;
  std::vector<std::pair<std::int64_t, std::size_t>> calls;

  void operator()(std::int64_t first, std::span<Point> rows) {
    calls.emplace_back(first, rows.size());
    const std::size_t n = xyz.size() / 3;
    for (std::size_t i = 0; i < rows.size(); ++i)
      for (std::size_t axis = 0; axis < 3; ++axis) rows[i][axis] = xyz[axis * n + static_cast<std::size_t>(first) + i];
  }
};

struct StreamCase {
  std::string label;
  std::string bytes;
  PointFormat format;
  std::int64_t block_rows;
};

std::vector<StreamCase> stream_cases() {
  std::vector<StreamCase> cases;
  // Far from zero in float64, with NaN rows, two carried columns and bytes after the array.
  const auto far = [](std::int64_t row, int column) {
    if (row == 3 || row == 17 || row == 49) return std::nan("");
    const double t = static_cast<double>(row);
    const double values[] = {5400000.0 + 0.37 * t, 512000.0 - 0.11 * t * t, 200.0 + std::sin(t), 10 * t, -t};
    return values[column];
  };
  cases.push_back({"far float64 npy", npy_file("<f8", 50, 5, far, "trailing"), PointFormat::npy, 4});
  cases.push_back({"big-endian float64 npy", npy_file(">f8", 50, 5, far), PointFormat::npy, 7});
  cases.push_back({"float32 npy, an extra column",
                   npy_file("<f4", 23, 4, [](std::int64_t row, int column) {
                     return row == 9 ? std::nan("") : 0.5 * static_cast<double>(row) - column + 1.0 / 3;
                   }),
                   PointFormat::npy, 3});
  cases.push_back({"numpy float32", test_file("numpy_f4_c.npy"), PointFormat::npy, 5});
  cases.push_back({"numpy big-endian float32 v2", test_file("numpy_f4_big_endian_v2.npy"), PointFormat::npy, 1000});
  for (const char* name : {"las12_format0.las", "las12_format1.las", "las12_format3.las", "las14_format6.las",
                           "las14_format7.las", "las14_format10.las"})
    cases.push_back({name, test_file(name), PointFormat::las, 6});
  return cases;
}

TEST(read_point_stream, GivesTheCoordinatesAndWritesTheBytesOfTheWholeFileFunctions) {
  ScratchDir dir;
  for (const StreamCase& c : stream_cases()) {
    SCOPED_TRACE(c.label);
    const std::filesystem::path path = dir / (c.format == PointFormat::npy ? "in.npy" : "in.las");
    write_file(path, c.bytes);
    const PointFile whole = read_point_file(path);
    const auto stream = read_point_stream(path, c.format, c.block_rows);
    ASSERT_EQ(stream->rows(), whole.size);
    // Reads that start and end inside blocks.
    for (const std::int64_t rows_per_call : {std::int64_t{1}, std::int64_t{5}, stream->rows()})
      EXPECT_TRUE(same_bits(read_all(*stream, rows_per_call), whole.xyz)) << rows_per_call << " rows per call";
    // Classes, from a row inside a block: those of the whole file (LAS), or none.
    std::vector<std::uint8_t> classes(static_cast<std::size_t>(whole.size - 1));
    EXPECT_EQ(stream->read_classes(1, classes), c.format == PointFormat::las);
    if (c.format == PointFormat::las) {
      const std::vector<std::uint8_t> all = point_classes(whole);
      EXPECT_EQ(classes, std::vector<std::uint8_t>(all.begin() + 1, all.end()));
    }

    // Unchanged, every third point moved, and a NaN point given a value.
    std::vector<float> moved = whole.xyz;
    const auto n = static_cast<std::size_t>(whole.size);
    for (std::size_t i = 0; i < n; i += 3)
      for (std::size_t axis = 0; axis < 3; ++axis) moved[axis * n + i] += 0.01f * static_cast<float>(axis + 1);
    for (std::size_t i = 0; i < n; ++i)
      if (std::isnan(moved[i])) {
        moved[i] = moved[n + i] = moved[2 * n + i] = 1.5f;
        break;
      }
    for (const std::vector<float>* xyz : {&whole.xyz, static_cast<const std::vector<float>*>(&moved)}) {
      std::ostringstream expected;
      write_point_data(expected, whole, xyz->data(), c.format, "out");
      FilteredRows filtered{*xyz, {}};
      replace_file(dir / "out", [&](std::ostream& out) { stream->write(out, std::ref(filtered), "out"); });
      EXPECT_EQ(testing::read_file(dir / "out"), expected.str()) << (xyz == &moved ? "moved" : "unchanged");
      if (xyz == &whole.xyz) {
        EXPECT_EQ(expected.str(), c.bytes);
      }
      // Each pass asks for the rows in order, a block at most at a time.
      std::int64_t next = 0;
      for (const auto& [first, count] : filtered.calls) {
        if (next == whole.size) next = 0;
        EXPECT_EQ(first, next);
        EXPECT_LE(static_cast<std::int64_t>(count), c.block_rows);
        next = first + static_cast<std::int64_t>(count);
      }
      EXPECT_EQ(next, whole.size);
    }
  }
}

TEST(read_point_stream, RefusesWhatReadPointFileRefusesWithTheSameMessage) {
  ScratchDir dir;
  const std::string npy = test_file("numpy_f4_c.npy");
  const std::string las = test_file("las14_format10.las");
  std::string infinite = npy;
  const float inf = std::numeric_limits<float>::infinity();
  std::memcpy(infinite.data() + infinite.size() - 8, &inf, 4);  // y of the last row
  std::string laz = las;
  laz[104] = static_cast<char>(0x8a);
  std::filesystem::create_directory(dir / "folder.las");
  const struct {
    const char* label;
    const char* file_name;
    std::string bytes;  // none: the file is not written
    const char* identifier;
  } cases[] = {
      {"npy cut in the array", "cut.npy", npy.substr(0, npy.size() - 4), "Vandrel:badNpyFile"},
      {"npy cut in the header", "header.npy", npy.substr(0, 40), "Vandrel:badNpyFile"},
      {"npy infinite in the last block", "infinite.npy", infinite, "Vandrel:badNpyFile"},
      {"las cut in the points", "cut.las", las.substr(0, 375 + 94 + 39 * 67), "Vandrel:badLasFile"},
      {"las cut in the EVLR", "evlr.las", las.substr(0, las.size() - 5), "Vandrel:badLasFile"},
      {"laz", "laz.las", laz, "Vandrel:badLasFile"},
      {"missing", "missing.npy", "", "Vandrel:cannotRead"},
      {"directory", "folder.las", "", "Vandrel:cannotRead"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::filesystem::path path = dir / c.file_name;
    if (!c.bytes.empty()) write_file(path, c.bytes);
    std::string message;
    try {
      read_point_file(path);
      ADD_FAILURE() << "read_point_file: no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), c.identifier);
      message = e.what();
    }
    expect_error([&] { read_point_stream(path, format_of(path), 4); }, c.identifier, message);
  }
}

TEST(read_point_stream, RefusesFormatsAndLayoutsReadOnlyWhole) {
  ScratchDir dir;
  write_file(dir / "fortran.npy", test_file("numpy_f8_fortran.npy"));
  write_file(dir / "cloud.ply", test_file("open3d_binary.ply"));
  expect_error([&] { read_point_stream(dir / "fortran.npy", PointFormat::npy); }, "Vandrel:cannotStream",
               "a Fortran-order .npy file is read only whole: ");
  expect_error([&] { read_point_stream(dir / "cloud.ply", PointFormat::ply); }, "Vandrel:cannotStream",
               "cloud.ply': only .npy and .las files are read a block of rows at a time");
  EXPECT_TRUE(readable_in_blocks(PointFormat::npy) && readable_in_blocks(PointFormat::las));
  EXPECT_FALSE(readable_in_blocks(PointFormat::pcd) || readable_in_blocks(PointFormat::ply) || readable_in_blocks(PointFormat::csv));
}

TEST(PointStream, RefusesALasCoordinateBeyond32BitsBeforeWritingAByte) {
  ScratchDir dir;
  write_file(dir / "in.las", test_file("las12_format0.las"));  // scale 0.001
  const PointFile whole = read_point_file(dir / "in.las");
  std::vector<float> xyz = whole.xyz;
  xyz[2 * 40 + 33] = 3.0e6f;  // z of point 33, in the last block: 3e9 steps
  std::ostringstream expected;
  std::string message;
  try {
    write_point_data(expected, whole, xyz.data(), PointFormat::las, "out.las");
    ADD_FAILURE() << "write_point_data: no error";
  } catch (const Error& e) {
    message = e.what();
  }
  EXPECT_NE(message.find("point 33: z = "), std::string::npos) << message;

  const auto stream = read_point_stream(dir / "in.las", PointFormat::las, 8);
  std::ostringstream out;
  expect_error([&] { stream->write(out, FilteredRows{xyz, {}}, "out.las"); }, "Vandrel:cannotWrite", message);
  EXPECT_TRUE(out.str().empty());
  // Written through replace_file, an existing output is left as it was, with nothing beside it.
  write_file(dir / "out.las", "previous");
  EXPECT_ANY_THROW(
      replace_file(dir / "out.las", [&](std::ostream& to) { stream->write(to, FilteredRows{xyz, {}}, "out.las"); }));
  EXPECT_EQ(testing::read_file(dir / "out.las"), "previous");
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"in.las", "out.las"}));
}

TEST(PointStream, RefusesToReadAFileCutShortSinceItWasOpened) {
  ScratchDir dir;
  const std::string bytes = test_file("numpy_f4_c.npy");
  write_file(dir / "in.npy", bytes);
  const auto stream = read_point_stream(dir / "in.npy", PointFormat::npy, 4);
  write_file(dir / "in.npy", bytes.substr(0, bytes.size() / 2));
  std::vector<Point> points(36);
  expect_error([&] { stream->read(0, points); }, "Vandrel:cannotRead", "in.npy");
  std::ostringstream out;
  expect_error([&] { stream->write(out, [](std::int64_t, std::span<Point>) {}, "out.npy"); }, "Vandrel:cannotRead",
               "in.npy");
}

}  // namespace
}  // namespace vandrel
