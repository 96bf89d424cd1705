#include "io/pcd_file.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <sstream>

#include "format_test_util.h"
#include "io/byte_values.h"
#include "io/ply_file.h"

namespace vandrel {
namespace {

using testing::expect_error;
using testing::same_values;
using testing::test_file;

std::string written(const PcdDocument& document, const std::vector<float>& xyz) {
  std::ostringstream out;
  write_pcd(out, document, xyz.data(), "out.pcd");
  return out.str();
}

// The document's body with every coordinate value blanked out: what must not change.
std::string without_coordinates(const PcdDocument& document) {
  std::string rest = document.body;
  if (document.data == PcdData::ascii) {
    for (std::size_t k = document.token_begin.size(); k-- > 0;)
      rest.replace(document.token_begin[k], document.token_end[k] - document.token_begin[k], "#");
    return rest;
  }
  for (std::size_t i = 0; i < static_cast<std::size_t>(document.points); ++i)
    for (std::size_t axis = 0; axis < 3; ++axis)
      rest.replace(document.coordinate_begin[axis] + i * document.coordinate_stride[axis],
                   document.coordinate_size[axis], document.coordinate_size[axis], '#');
  return rest;
}

constexpr const char* pcd_files[] = {"pcl_organised_ascii.pcd",  "pcl_organised_binary.pcd", "pcl_organised_compressed.pcd",
                                     "pcl_double_compressed.pcd", "open3d_ascii.pcd",        "open3d_compressed.pcd"};

TEST(read_pcd, ReadsTheSameOrganisedCloudFromEveryDataKindOfPcl) {
  std::vector<float> binary;
  const PcdDocument reference = read_pcd(test_file("pcl_organised_binary.pcd"), "b.pcd", binary);
  EXPECT_EQ(reference.points, 48);
  // The two points left NaN keep their place in the 8 x 6 grid.
  for (std::size_t i = 0; i < 48; ++i)
    for (std::size_t axis = 0; axis < 3; ++axis)
      EXPECT_EQ(std::isnan(binary[axis * 48 + i]), i == 9 || i == 30) << "point " << i;

  std::vector<float> compressed;
  EXPECT_EQ(read_pcd(test_file("pcl_organised_compressed.pcd"), "c.pcd", compressed).data, PcdData::binary_compressed);
  EXPECT_TRUE(same_values(compressed, binary));
  // PCL's ascii output rounds to 8 significant digits.
  std::vector<float> ascii;
  read_pcd(test_file("pcl_organised_ascii.pcd"), "a.pcd", ascii);
  ASSERT_EQ(ascii.size(), binary.size());
  for (std::size_t i = 0; i < ascii.size(); ++i) {
    if (!std::isnan(binary[i])) {
      EXPECT_NEAR(ascii[i], binary[i], 1e-7 * std::abs(binary[i]));
    }
  }

  // Open3D's ascii and compressed files of the same cloud agree too.
  std::vector<float> open3d_ascii, open3d_compressed;
  read_pcd(test_file("open3d_ascii.pcd"), "a.pcd", open3d_ascii);
  read_pcd(test_file("open3d_compressed.pcd"), "c.pcd", open3d_compressed);
  EXPECT_EQ(open3d_ascii, open3d_compressed);
  // Open3D's binary PLY of the cloud holds the same points in double precision.
  std::vector<float> ply_xyz;
  const std::string ply = test_file("open3d_binary.ply");
  const PlyDocument document = read_ply(ply, "o.ply", ply_xyz);
  EXPECT_EQ(ply_xyz, open3d_compressed);
  std::ostringstream out;
  write_ply(out, document, ply_xyz.data());
  std::vector<float> reread;
  read_ply(out.str(), "o.ply", reread);
  EXPECT_EQ(reread, ply_xyz);
}

TEST(read_pcd, TakesOldMacLineEnds) {
  for (const char* name : {"open3d_ascii.pcd", "pcl_organised_binary.pcd"}) {
    SCOPED_TRACE(name);
    const std::string original = test_file(name);
    std::vector<float> expected;
    const PcdDocument document = read_pcd(original, name, expected);
    // Every line end of the text (the whole ascii file, the binary file's header) a lone "\r".
    const std::size_t text_end = document.data == PcdData::ascii ? original.size() : document.header.size();
    std::string mac = original;
    for (std::size_t i = 0; i < text_end; ++i)
      if (mac[i] == '\n') mac[i] = '\r';
    std::vector<float> xyz;
    const PcdDocument read = read_pcd(mac, name, xyz);
    EXPECT_TRUE(same_values(xyz, expected));
    if (read.data == PcdData::ascii) {
      EXPECT_EQ(written(read, xyz), mac);
      continue;
    }
    // Binary data whose first byte becomes "\n" after a lone "\r" still read back.
    ASSERT_EQ(read.coordinate_begin[0], 0u);
    std::vector<float> moved = xyz;
    moved[0] = std::bit_cast<float>(std::uint32_t{0x0A0A0A0A});
    std::vector<float> back;
    read_pcd(written(read, moved), name, back);
    EXPECT_TRUE(same_values(back, moved));
  }
}

TEST(write_pcd, GivesTheFileBackAndReplacesOnlyCoordinates) {
  for (const char* name : pcd_files) {
    SCOPED_TRACE(name);
    const std::string original = test_file(name);
    std::vector<float> xyz;
    const PcdDocument document = read_pcd(original, name, xyz);
    const std::string same = written(document, xyz);
    if (document.data != PcdData::binary_compressed) {
      EXPECT_EQ(same, original);
    }

    std::vector<float> moved = xyz;
    for (std::size_t i = 0; i < moved.size(); ++i) moved[i] += 0.125f * static_cast<float>(i % 5) - 0.25f;
    const std::string output = written(document, moved);
    std::vector<float> reread;
    const PcdDocument again = read_pcd(output, name, reread);
    EXPECT_EQ(again.data, document.data);
    EXPECT_EQ(again.header, document.header);
    EXPECT_EQ(again.trailer, document.trailer);
    EXPECT_EQ(without_coordinates(again), without_coordinates(document));
    testing::expect_same_points(reread, again.origin, moved, document.origin);
  }
}

TEST(write_pcd, KeepsTheDigitsOfCoordinatesTheFilterLeftAlone) {
  const std::string original = test_file("pcl_double_compressed.pcd");
  std::vector<float> xyz;
  const PcdDocument document = read_pcd(original, "d.pcd", xyz);
  std::vector<float> moved = xyz;
  moved[0] += 1.0f;  // x of point 0 only
  std::vector<float> reread;
  const PcdDocument again = read_pcd(written(document, moved), "d.pcd", reread);
  // Every other double keeps its full precision; the moved one holds the filtered value.
  EXPECT_EQ(again.body.substr(8), document.body.substr(8));
  EXPECT_EQ(load_value<double>(again.body.data(), true), moved[0] + document.origin[0]);
}

TEST(read_pcd, RefusesMalformedFilesNamingTheFault) {
  const std::string header =
      "VERSION 0.7\nFIELDS x y z i\nSIZE 4 4 4 4\nTYPE F F F I\nCOUNT 1 1 1 1\nWIDTH 2\nHEIGHT 1\n"
      "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS 2\n";
  const std::string binary_header = header + "DATA binary\n";
  const std::string good_binary = binary_header + std::string(32, '\0');
  std::string corrupt = test_file("pcl_organised_compressed.pcd");
  const std::size_t data = corrupt.find("DATA binary_compressed\n") + 23;
  corrupt[data + 8] = static_cast<char>(0xFF);  // the first LZF control byte: a back reference before the start
  const struct {
    const char* label;
    std::string bytes;
    const char* part;
  } cases[] = {
      {"no z", "FIELDS x y\nSIZE 4 4\nTYPE F F\nWIDTH 1\nHEIGHT 1\nDATA ascii\n1 2\n", "no field 'z'"},
      {"integer x", "FIELDS x y z\nSIZE 4 4 4\nTYPE I F F\nWIDTH 1\nHEIGHT 1\nDATA ascii\n1 2 3\n", "field 'x' must be TYPE F"},
      {"x of two values", "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 2 1 1\nWIDTH 1\nHEIGHT 1\nDATA ascii\n1 1 2 3\n",
       "field 'x' must be TYPE F"},
      {"odd size", "FIELDS x y z\nSIZE 4 4 3\nTYPE F F F\nWIDTH 1\nHEIGHT 1\nDATA ascii\n1 2 3\n", "which PCD does not define"},
      {"zero count", "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 0\nWIDTH 1\nHEIGHT 1\nDATA ascii\n1 2 3\n",
       "header line 4: '0' is not an integer >= 1"},
      {"points", "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nWIDTH 2\nHEIGHT 2\nPOINTS 3\nDATA ascii\n", "POINTS 3 is not"},
      {"no data line", "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nWIDTH 1\nHEIGHT 1\n", "ends before its DATA line"},
      {"unknown kind", header + "DATA binary_packed\n", "unknown DATA kind 'binary_packed'"},
      {"unknown line", "FIELDS x y z\nSHAPE 4\n", "header line 2: unexpected 'SHAPE 4'"},
      {"empty", "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nWIDTH 0\nHEIGHT 1\nDATA ascii\n", "no points"},
      {"short line", header + "DATA ascii\n1 2 3 4\n5 6 7\n", "point 1: 3 values, the fields need 4"},
      {"bad number", header + "DATA ascii\n1 2 3 4\n5 six 7 8\n", "point 1: y 'six' is not a number"},
      {"infinite", header + "DATA ascii\n1 2 3 4\n5 6 -inf 8\n", "point 1: z is infinite"},
      {"too many", header + "DATA ascii\n1 2 3 4\n5 6 7 8\n9 9 9 9\n", "more data than"},
      {"missing point", header + "DATA ascii\n1 2 3 4\n", "truncated"},
      {"truncated binary", good_binary.substr(0, good_binary.size() - 1), "truncated"},
      {"wrong unpacked size", header + "DATA binary_compressed\n" + std::string("\x04\0\0\0\x10\0\0\0\0\0\0\0", 12),
       "unpack to 16 bytes, but 2 points of 16 bytes need 32"},
      {"corrupt compressed", corrupt, "corrupt"},
      // A million points (16 MB) cannot come from 4 bytes: refused before they are set aside.
      {"unpacked size beyond LZF", header.substr(0, header.find("WIDTH")) + "WIDTH 1000000\nHEIGHT 1\n" +
           "DATA binary_compressed\n" + std::string("\x04\0\0\0\x00\x24\xF4\x00\0\0\0\0", 12),
       "cannot hold"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<float> xyz;
    expect_error([&] { read_pcd(c.bytes, "bad.pcd", xyz); }, "Vandrel:badPcdFile", c.part);
  }
}

}  // namespace
}  // namespace vandrel
