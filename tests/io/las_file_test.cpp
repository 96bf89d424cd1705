#include "io/las_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>

#include "format_test_util.h"
#include "io/byte_values.h"

namespace vandrel {
namespace {

using testing::expect_error;
using testing::test_file;

constexpr const char* las_files[] = {"las12_format0.las", "las12_format1.las", "las12_format3.las",
                                     "las14_format6.las", "las14_format7.las", "las14_format10.las"};
constexpr std::size_t extents_at = 179;

std::string written(const LasDocument& document, const std::vector<float>& xyz) {
  std::ostringstream out;
  write_las(out, document, xyz.data(), "out.las");
  return out.str();
}

double extent(const std::string& bytes, std::size_t axis, bool maximum) {
  return load_value<double>(bytes.data() + extents_at + 16 * axis + (maximum ? 0 : 8), true);
}

std::int32_t integer(const LasDocument& document, const std::string& bytes, std::size_t point, std::size_t axis) {
  return load_value<std::int32_t>(bytes.data() + document.points_begin + point * document.record_length + 4 * axis, true);
}

TEST(read_las, ReadsEveryPointFormatWithinTheHeadersExtents) {
  for (const char* name : las_files) {
    SCOPED_TRACE(name);
    const std::string bytes = test_file(name);
    std::vector<float> xyz;
    const LasDocument document = read_las(bytes, name, xyz);
    ASSERT_EQ(document.points, 40);
    for (std::size_t axis = 0; axis < 3; ++axis) {
      double least = INFINITY, most = -INFINITY;
      for (std::size_t i = 0; i < 40; ++i) {
        least = std::min(least, xyz[axis * 40 + i] + document.origin[axis]);
        most = std::max(most, xyz[axis * 40 + i] + document.origin[axis]);
      }
      // Relative to the centre, the coordinates keep the file's resolution.
      EXPECT_NEAR(least, extent(bytes, axis, false), document.scale[axis] / 2);
      EXPECT_NEAR(most, extent(bytes, axis, true), document.scale[axis] / 2);
    }
  }
}

TEST(write_las, RequantisesMovedPointsAndKeepsEveryOtherByte) {
  for (const char* name : las_files) {
    SCOPED_TRACE(name);
    const std::string original = test_file(name);
    std::vector<float> xyz;
    const LasDocument document = read_las(original, name, xyz);
    EXPECT_EQ(written(document, xyz), original);

    // A shift by whole steps of the scale, and one point moved by a single step in x.
    const std::array<std::int32_t, 3> steps{1200, -40, 8};
    std::vector<float> moved = xyz;
    for (std::size_t axis = 0; axis < 3; ++axis)
      for (std::size_t i = 0; i < 40; ++i)
        moved[axis * 40 + i] += static_cast<float>(steps[axis] * document.scale[axis]);
    moved[7] = static_cast<float>(static_cast<double>(xyz[7]) + document.scale[0] * (steps[0] + 1));
    const std::string output = written(document, moved);
    ASSERT_EQ(output.size(), original.size());
    std::string masked_output = output, masked_original = original;
    for (std::size_t i = 0; i < 40; ++i) {
      for (std::size_t axis = 0; axis < 3; ++axis) {
        const std::int32_t step = steps[axis] + (i == 7 && axis == 0 ? 1 : 0);
        EXPECT_EQ(integer(document, output, i, axis), integer(document, original, i, axis) + step)
            << "point " << i << " axis " << axis;
      }
      const std::size_t at = document.points_begin + i * document.record_length;
      masked_output.replace(at, 12, 12, '#');
      masked_original.replace(at, 12, 12, '#');
    }
    // The header's extents are those of the written integers.
    for (std::size_t axis = 0; axis < 3; ++axis) {
      double least = INFINITY, most = -INFINITY;
      for (std::size_t i = 0; i < 40; ++i) {
        const double value = integer(document, output, i, axis) * document.scale[axis] + document.offset[axis];
        least = std::min(least, value);
        most = std::max(most, value);
      }
      EXPECT_EQ(extent(output, axis, false), least);
      EXPECT_EQ(extent(output, axis, true), most);
    }
    masked_output.replace(extents_at, 48, 48, '#');
    masked_original.replace(extents_at, 48, 48, '#');
    EXPECT_EQ(masked_output, masked_original);
  }
}

TEST(write_las, RewritesOnlyTheExtentsTheWrittenPointsChange) {
  // Extents a little off the points' own, as another writer may have computed them.
  std::string original = test_file("las12_format3.las");
  for (std::size_t k = 0; k < 6; ++k) {
    const double value = load_value<double>(original.data() + extents_at + 8 * k, true);
    store_value<double>(original.data() + extents_at + 8 * k, std::nextafter(value, k % 2 == 0 ? INFINITY : -INFINITY), true);
  }
  std::vector<float> xyz;
  const LasDocument document = read_las(original, "in.las", xyz);
  EXPECT_EQ(written(document, xyz), original);

  // The point of largest x moved further out, and another moved within the extents: only
  // the maximum x is rewritten, to the written points' own.
  std::size_t far = 0;
  for (std::size_t i = 1; i < 40; ++i)
    if (integer(document, original, i, 0) > integer(document, original, far, 0)) far = i;
  std::vector<float> moved = xyz;
  moved[far] = static_cast<float>(static_cast<double>(xyz[far]) + 5 * document.scale[0]);
  const std::size_t inner = far == 0 ? 1 : 0;
  for (std::size_t axis = 0; axis < 3; ++axis) moved[axis * 40 + inner] = 0.0f;  // the origin, the extents' centre
  const std::string output = written(document, moved);
  EXPECT_EQ(extent(output, 0, true), (integer(document, original, far, 0) + 5) * document.scale[0] + document.offset[0]);
  EXPECT_EQ(output.substr(extents_at + 8, 40), original.substr(extents_at + 8, 40));
}

TEST(las_classes, ReadsTheClassWithoutTheFlagsOfTheOlderFormats) {
  for (const auto& [name, at] : {std::pair{"las12_format0.las", 15}, std::pair{"las14_format6.las", 16}}) {
    SCOPED_TRACE(name);
    std::string bytes = test_file(name);
    std::vector<float> xyz;
    const LasDocument layout = read_las(bytes, name, xyz);
    const std::size_t record_3 = layout.points_begin + 3 * layout.record_length;
    // Ground, withheld and key point (flags of formats 0 to 5; class 194 in 6 to 10).
    bytes[record_3 + static_cast<std::size_t>(at)] = static_cast<char>(0xC2);
    const std::vector<std::uint8_t> classes = las_classes(read_las(bytes, name, xyz));
    ASSERT_EQ(classes.size(), 40u);
    EXPECT_EQ(classes[3], at == 15 ? 2 : 0xC2);
  }
}

TEST(write_las, RefusesACoordinateOutsideTheIntegerRangeBeforeWriting) {
  std::vector<float> xyz;
  const LasDocument document = read_las(test_file("las12_format0.las"), "in.las", xyz);  // scale 0.001
  xyz[2 * 40 + 5] = 3.0e6f;  // z of point 5: 3e9 steps
  std::ostringstream out;
  expect_error([&] { write_las(out, document, xyz.data(), "out.las"); }, "Vandrel:cannotWrite",
               "cannot write 'out.las': point 5: z = ");
  EXPECT_TRUE(out.str().empty());
}

TEST(read_las, RefusesCompressedAndMalformedFiles) {
  const std::string good = test_file("las14_format7.las");
  auto patched = [&](std::size_t at, std::string_view bytes) {
    std::string copy = good;
    copy.replace(at, bytes.size(), bytes);
    return copy;
  };
  const struct {
    const char* label;
    std::string bytes;
    const char* part;
  } cases[] = {
      {"laz", patched(104, "\x87"), "compressed (LAZ); decompress the file first, e.g. with 'laszip"},
      {"signature", patched(0, "LASG"), "not a LAS file"},
      {"version", patched(24, "\x02"), "LAS version 2.4 is not supported"},
      {"format 11", patched(104, "\x0b"), "point data record format 11 is not supported"},
      {"short records", patched(105, std::string_view("\x1d\x00", 2)), "records of 29 bytes are too short for format 7"},
      {"truncated", good.substr(0, 375 + 94 + 39 * 36), "truncated: 40 point records"},
      {"zero scale", patched(139, std::string(8, '\0')), "y scale or offset is not usable"},
      {"no points", patched(247, std::string(8, '\0')), "no points"},  // format 7 leaves the 32-bit count zero
      // One extended VLR at byte 469, where the point records start: writing new points would rewrite it.
      {"extended VLR in the points", patched(235, std::string_view("\xd5\x01\0\0\0\0\0\0\x01\0\0\0", 12)),
       "extended VLR 0 overlaps the point records"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<float> xyz;
    expect_error([&] { read_las(c.bytes, "bad.las", xyz); }, "Vandrel:badLasFile", c.part);
  }
}

}  // namespace
}  // namespace vandrel
