#include "io/text_table.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>

#include "vandrel/error.h"
#include "io/number_text.h"

namespace vandrel {
namespace {

// Equal values, NaN matching NaN.
void expect_same_coordinates(const std::vector<float>& actual, const std::vector<float>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (!(std::isnan(actual[i]) && std::isnan(expected[i]))) {
      EXPECT_EQ(actual[i], expected[i]) << i;
    }
  }
}

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

TEST(read_text_table, ReadsEveryVariant) {
  struct Case {
    const char* label;
    TextDialect dialect;
    std::string content;
    std::vector<float> xyz;  // column-major
    std::string header;
    std::vector<std::string> extras;  // row-major
  };
  const Case cases[] = {
      {"spaces, tabs, blank lines, no final line end", TextDialect::whitespace, "1 2 3\n\n  4\t5   6  \n\t\n7 8 9",
       {1, 4, 7, 2, 5, 8, 3, 6, 9}, "", {}},
      {"CRLF and extra columns", TextDialect::whitespace, "1 2 3 255 a\r\n-1e-3 +5 6 0 b\r\n",
       {1, -1e-3f, 2, 5, 3, 6}, "", {"255", "a", "0", "b"}},
      {"CSV with a header and a quoted field", TextDialect::csv,
       "\xEF\xBB\xBF" "x, y ,z,label\n1,2,3,\"a, b\"\n4 , 5,6, c\n",
       {1, 4, 2, 5, 3, 6}, "x, y ,z,label", {"\"a, b\"", "c"}},
      {"CSV without a header", TextDialect::csv, "0.5,1.5,2.5\r\n", {0.5f, 1.5f, 2.5f}, "", {}},
      {"CSV naming the coordinates elsewhere", TextDialect::csv, "time,X,\"Y\",Z,intensity\n7,1,2,3,9\n8,4,5,6,1\n",
       {1, 4, 2, 5, 3, 6}, "time,X,\"Y\",Z,intensity", {"7", "9", "8", "1"}},
      {"pandas index column with an empty name", TextDialect::csv, ",x,y,z\n0,1,2,3\n", {1, 2, 3}, ",x,y,z", {"0"}},
      {"semicolons, names out of order", TextDialect::csv, "id;z;y;x\n5;3;2;1\n", {1, 2, 3}, "id;z;y;x", {"5"}},
      {"text only after the coordinates is data", TextDialect::csv, "1,2,3,red\n4,5,6,blue\n", {1, 4, 2, 5, 3, 6}, "",
       {"red", "blue"}},
      {"names other than x, y, z: the first three", TextDialect::csv, "a,b,c,d\n1,2,3,4\n", {1, 2, 3}, "a,b,c,d", {"4"}},
      {"comments and CR-only line ends", TextDialect::whitespace, "# x y z\r1 2 3\r\r  # half-way\r4 5 6\r",
       {1, 4, 2, 5, 3, 6}, "", {}},
      {"CR-only CSV with a header", TextDialect::csv, "# numpy\rx,y,z\r1,2,3\r", {1, 2, 3}, "x,y,z", {}},
      {"byte-order mark at the start only", TextDialect::csv, "\xEF\xBB\xBF" "1,4,5\r7,8,9", {1, 7, 4, 8, 5, 9},
       "", {}},
      {"those bytes elsewhere are text", TextDialect::csv, "\r\xEF\xBB\xBF" "1,4,5\r7,8,9", {7, 8, 9},
       "\xEF\xBB\xBF" "1,4,5", {}},
      {"NaN coordinates of an organised cloud", TextDialect::whitespace, "nan NaN -nan 1\n1 2 3 2\n",
       {nan, 1, nan, 2, nan, 3}, "", {"1", "2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<float> xyz;
    const TextTable table = read_text_table(c.content, c.dialect, "in.txt", xyz);
    expect_same_coordinates(xyz, c.xyz);
    EXPECT_EQ(table.header, c.header);
    const std::int64_t rows = static_cast<std::int64_t>(xyz.size() / 3);
    std::vector<std::string> extras;
    for (std::int64_t r = 0; r < rows; ++r)
      for (std::int32_t k = 0; k < table.extra_columns; ++k) extras.emplace_back(table.extra(r, k));
    EXPECT_EQ(extras, c.extras);
  }
}

TEST(read_text_table, RejectsBadInputNamingFileAndLine) {
  struct Case {
    TextDialect dialect;
    std::string content;
    std::string message;
  };
  const Case cases[] = {
      {TextDialect::whitespace, "", "in.txt: holds no points (the file is empty)"},
      {TextDialect::whitespace, "\n  \n", "in.txt: holds no points (the file is empty)"},
      {TextDialect::csv, "x,y,z\n", "in.txt: holds a header line but no points"},
      {TextDialect::whitespace, "1 2\n", "in.txt: line 1: expected at least 3 fields (x, y, z), found 2"},
      {TextDialect::whitespace, "1 2 3 4\n\n5 6 7\n", "in.txt: line 3: expected 4 fields as on line 1, found 3"},
      {TextDialect::whitespace, "1 2 3\n4 abc 6\n", "in.txt: line 2: field 2 ('abc') is not a number"},
      {TextDialect::whitespace, "1 2 3\n4 5 6,\n", "in.txt: line 2: field 3 ('6,') is not a number"},
      {TextDialect::whitespace, "1 2 inf\n", "in.txt: line 1: field 3 ('inf') is not a finite number"},
      {TextDialect::whitespace, "1e39 2 3\n", "in.txt: line 1: field 1 ('1e39') is out of single-precision range"},
      {TextDialect::csv, "1,2,3\n1;2;3\n", "in.txt: line 2: expected 3 fields as on line 1, found 1"},
      {TextDialect::csv, "x,y,z\n1,2,\"3\n", "in.txt: line 2: a quoted field is not closed"},
      {TextDialect::csv, "x,y,z\n1,,3\n", "in.txt: line 2: field 2 ('') is not a number"},
      {TextDialect::csv, "1e39,0,0\n", "in.txt: line 1: field 1 ('1e39') is out of single-precision range"},
      {TextDialect::csv, "t,x,y\n1,2,inf\n", "in.txt: line 2: field 3 ('inf') is not a finite number"},
      {TextDialect::csv, "a,b,c,x,y,z\n1,2,3\n",
       "in.txt: line 2: expected at least 6 fields, as the header has z, y or x in field 6, found 3"},
      {TextDialect::csv, "x;y;z\n1,5;2;3\n", "in.txt: line 2: field 1 ('1,5') is not a number"},
      {TextDialect::whitespace, "1\r2 3\n", "in.txt: line 1: expected at least 3 fields (x, y, z), found 1"},
      {TextDialect::whitespace, "1 2 " + std::string(100, 'a') + "\n",
       "in.txt: line 1: field 3 ('" + std::string(40, 'a') + "...') is not a number"},
      {TextDialect::whitespace, "1 \x1b[2J\x7f 3\n", "in.txt: line 1: field 2 ('\\x1b[2J\\x7f') is not a number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    std::vector<float> xyz;
    try {
      read_text_table(c.content, c.dialect, "in.txt", xyz);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), "Vandrel:badTextFile");
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(write_text_table, RoundTripsCoordinatesBitForBitAndKeepsExtraColumns) {
  for (const TextDialect dialect : {TextDialect::whitespace, TextDialect::csv}) {
    SCOPED_TRACE(dialect == TextDialect::csv ? "csv" : "whitespace");
    const std::string header = dialect == TextDialect::csv ? "X,Y,Z,intensity,class\n" : "";
    std::string content = header;
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1e3f, 1e3f);
    const char sep = dialect == TextDialect::csv ? ',' : ' ';
    for (int r = 0; r < 200; ++r)
      content += std::to_string(u(rng)) + sep + std::to_string(u(rng)) + sep + std::to_string(u(rng)) + sep +
                 std::to_string(r) + sep + "c" + std::to_string(r % 3) + "\n";
    std::vector<float> xyz;
    const TextTable table = read_text_table(content, dialect, "in", xyz);
    // New coordinates that need all 9 digits, as the filter's output does.
    for (float& v : xyz) v = std::nextafter(v * 1.1f, 0.0f);

    std::ostringstream out;
    write_text_table(out, table, dialect, xyz.data(), 200);
    std::vector<float> back;
    const TextTable again = read_text_table(out.str(), dialect, "out", back);
    ASSERT_EQ(back.size(), xyz.size());
    for (std::size_t i = 0; i < xyz.size(); ++i)
      ASSERT_EQ(std::bit_cast<std::uint32_t>(back[i]), std::bit_cast<std::uint32_t>(xyz[i])) << i;
    EXPECT_EQ(again.header + (again.header.empty() ? "" : "\n"), header);
    EXPECT_EQ(again.extra_text, table.extra_text);
    EXPECT_EQ(again.extra_end, table.extra_end);
  }
}

TEST(write_text_table, KeepsTheLayoutOfItsOwnFormatAndPutsCoordinatesFirstInOthers) {
  struct Case {
    const char* label;
    TextDialect from;
    std::string content;
    TextDialect to;
    std::string written;
  };
  const Case cases[] = {
      {"CSV to CSV", TextDialect::csv, "# saved\r\nid;Z;x;y;note\r\n7;3;1.5;2;\"a\"\r\n", TextDialect::csv,
       "# saved\nid;Z;x;y;note\n7;3;1.5;2;\"a\"\n"},
      {"CSV to XYZ", TextDialect::csv, "# saved\nid,Z,x,y\n7,3,1.5,2\n", TextDialect::whitespace, "1.5 2 3 7\n"},
      {"XYZ to XYZ", TextDialect::whitespace, "# a\r# b\r1 2 nan 9\r", TextDialect::whitespace,
       "# a\n# b\n1 2 nan 9\n"},
      {"XYZ to CSV", TextDialect::whitespace, "# a\n1 2 3 9\n", TextDialect::csv, "1,2,3,9\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<float> xyz;
    const TextTable table = read_text_table(c.content, c.from, "in", xyz);
    std::ostringstream out;
    write_text_table(out, table, c.to, xyz.data(), static_cast<std::int64_t>(xyz.size() / 3));
    EXPECT_EQ(out.str(), c.written);
  }
}

TEST(read_text_table, RecentresACloudFarFromZero) {
  struct Case {
    const char* label;
    std::string content;
    std::array<double, 3> origin;
  };
  const Case cases[] = {
      {"within 16 extents of zero: as it is", "10 0 0\n11 1 1\n", {0, 0, 0}},
      {"far on one axis", "0 0 40\n1 1 41.5\n", {0, 0, 40.75}},
      {"far on all axes, NaN rows aside", "450000.5 5200000.25 100\nnan nan nan\n450001.5 5200001.25 101\n",
       {450001, 5200000.75, 100.5}},
      {"an axis of NaN", "nan 450000 0\nnan 450001 1\n", {0, 450000.5, 0}},
      {"one point", "450000.5 5200000.25 100\n", {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<float> xyz;
    const TextTable table = read_text_table(c.content, TextDialect::whitespace, "in.xyz", xyz);
    EXPECT_EQ(table.origin, c.origin);
    // Each value minus the origin in double, rounded once.
    std::vector<float> expected;
    std::istringstream values(c.content);
    std::vector<double> rows;
    for (std::string word; values >> word;) rows.push_back(word == "nan" ? std::nan("") : std::stod(word));
    const std::size_t n = rows.size() / 3;
    for (std::size_t axis = 0; axis < 3; ++axis)
      for (std::size_t i = 0; i < n; ++i) expected.push_back(static_cast<float>(rows[3 * i + axis] - c.origin[axis]));
    expect_same_coordinates(xyz, expected);
  }
}

TEST(write_text_table, KeepsUnchangedCoordinatesAsWrittenAndAddsTheOriginToNewOnes) {
  const std::string far = "450000.50 5200000.25 +100 a\nNaN -nan nan b\n450001.5 5200001.25 1.01e2 c\n";
  std::vector<float> xyz;
  const TextTable table = read_text_table(far, TextDialect::whitespace, "far.xyz", xyz);
  const auto written = [&](const TextTable& t, const std::vector<float>& coordinates) {
    std::ostringstream out;
    write_text_table(out, t, TextDialect::whitespace, coordinates.data(),
                     static_cast<std::int64_t>(coordinates.size() / 3));
    return out.str();
  };
  EXPECT_EQ(written(table, xyz), far);
  std::vector<float> moved = xyz;
  moved[0] = -0.25f;                                   // x of the first row
  moved[6 + 2] = 0.125f;                               // z of the last row
  moved[3 + 2] = std::nextafter(moved[3 + 2], 1.0f);   // y of the last row, by one step
  const std::string out = written(table, moved);
  EXPECT_EQ(out.substr(0, out.find('\n')), "450000.75 5200000.25 +100 a");
  EXPECT_EQ(out.substr(out.find('\n') + 1, 17), "NaN -nan nan b\n45");
  EXPECT_NE(out.find(" 100.625 c\n"), std::string::npos) << out;
  // Shortest text of the sum in double: it reads back to exactly that sum.
  const std::size_t y_begin = out.rfind('\n', out.size() - 2) + 1 + std::string("450001.5 ").size();
  double y = 0.0;
  ASSERT_TRUE(parse_double(out.substr(y_begin, out.find(' ', y_begin) - y_begin), y));
  EXPECT_EQ(y, static_cast<double>(moved[3 + 2]) + table.origin[1]);

  // Near zero, new coordinates take today's 9 significant digits.
  const TextTable near = read_text_table("1 2 3\n4 5 6\n", TextDialect::whitespace, "near.xyz", xyz);
  xyz[0] = 0.1f;
  EXPECT_EQ(written(near, xyz), "0.100000001 2 3\n4 5 6\n");
}

TEST(write_text_table, WritesBackTheBytesOfAByteOrderMarkAsText) {
  // Fuzzer finds: bytes of a byte-order mark at the start of a header after a comment, and a
  // second one after the file's own.
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    std::string content;
    std::string header;
  };
  const Case cases[] = {{"#3sd\n" + bom + bom + ";\n5;2;1;3\n", bom + bom + ";"}, {bom + bom + ";\n5;2;1;3\n", bom + ";"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(printable_excerpt(c.content));
    std::vector<float> xyz;
    const TextTable table = read_text_table(c.content, TextDialect::csv, "in.csv", xyz);
    EXPECT_EQ(table.header, c.header);
    std::ostringstream out;
    write_text_table(out, table, TextDialect::csv, xyz.data(), 1);
    EXPECT_EQ(out.str(), c.content);
    std::vector<float> back;
    EXPECT_EQ(read_text_table(out.str(), TextDialect::csv, "out.csv", back).header, table.header);
    EXPECT_EQ(back, xyz);
  }
}

}  // namespace
}  // namespace vandrel
