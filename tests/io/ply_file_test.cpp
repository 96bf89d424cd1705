#include "io/ply_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>

#include "vandrel/error.h"
#include "io/number_text.h"

namespace vandrel {
namespace {

const char* format_name(PlyFormat format) {
  switch (format) {
    case PlyFormat::ascii: return "ascii";
    case PlyFormat::binary_little_endian: return "binary_little_endian";
    case PlyFormat::binary_big_endian: return "binary_big_endian";
  }
  return "";
}

// Writes records value by value: words on a line for ascii, bytes in the file's order otherwise.
struct Body {
  PlyFormat format;
  std::string bytes;
  template <class T>
  void put(T value) {
    if (format == PlyFormat::ascii) {
      std::ostringstream word;
      word << +value << ' ';
      bytes += word.str();
      return;
    }
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    if ((format == PlyFormat::binary_big_endian) == (std::endian::native == std::endian::little))
      std::reverse(raw, raw + sizeof(T));
    bytes.append(raw, sizeof(T));
  }
  void end_record() {
    if (format == PlyFormat::ascii) bytes.back() = '\n';
  }
};

// Three vertices whose coordinates come in the order z, x, y among other properties (one a
// list), then two faces and a material. Coordinates are x = i + 0.5, y = -1.25 i, z = 3 i.
template <class Coordinate>
std::string sample_ply(PlyFormat format) {
  const char* type = sizeof(Coordinate) == 8 ? "double" : "float";
  std::string ply = std::string("ply\nformat ") + format_name(format) + " 1.0\ncomment made by hand\n" +
                    "element vertex 3\nproperty uchar red\nproperty " + type + " z\nproperty " + type +
                    " x\nproperty list uchar int links\nproperty float quality\nproperty " + type +
                    " y\nobj_info scanner 7\nelement face 2\nproperty list uchar int vertex_indices\n"
                    "element material 1\nproperty ushort id\nproperty double shine\nend_header\n";
  Body body{format, {}};
  for (int i = 0; i < 3; ++i) {
    body.put<std::uint8_t>(static_cast<std::uint8_t>(200 + i));
    body.put<Coordinate>(static_cast<Coordinate>(3 * i));
    body.put<Coordinate>(static_cast<Coordinate>(i + 0.5));
    body.put<std::uint8_t>(static_cast<std::uint8_t>(i));
    for (int k = 0; k < i; ++k) body.put<std::int32_t>(k - 7);
    body.put<float>(0.75f * static_cast<float>(i));
    body.put<Coordinate>(static_cast<Coordinate>(-1.25 * i));
    body.end_record();
  }
  for (int f = 0; f < 2; ++f) {
    body.put<std::uint8_t>(3);
    for (int k = 0; k < 3; ++k) body.put<std::int32_t>((k + f) % 3);
    body.end_record();
  }
  body.put<std::uint16_t>(65535);
  body.put<double>(0.1);
  body.end_record();
  return ply + body.bytes;
}

std::string written(const PlyDocument& doc, const std::vector<float>& xyz) {
  std::ostringstream out;
  write_ply(out, doc, xyz.data());
  return out.str();
}

TEST(read_ply, ReadsEveryFormatAndWritesBackOnlyNewCoordinates) {
  const std::vector<float> expected = {0.5f, 1.5f, 2.5f, 0.0f, -1.25f, -2.5f, 0.0f, 3.0f, 6.0f};
  for (const PlyFormat format : {PlyFormat::ascii, PlyFormat::binary_little_endian, PlyFormat::binary_big_endian}) {
    for (const bool as_double : {false, true}) {
      SCOPED_TRACE(std::string(format_name(format)) + (as_double ? " double" : " float"));
      const std::string content = as_double ? sample_ply<double>(format) : sample_ply<float>(format);
      std::vector<float> xyz;
      const PlyDocument doc = read_ply(content, "in.ply", xyz);
      EXPECT_EQ(doc.format, format);
      ASSERT_EQ(xyz, expected);
      EXPECT_EQ(written(doc, xyz), content);

      std::vector<float> moved = xyz;
      for (float& v : moved) v = v * 3.0f + 0.1f;
      std::vector<float> back;
      const PlyDocument again = read_ply(written(doc, moved), "out.ply", back);
      EXPECT_EQ(back, moved);
      // Putting the old coordinates back restores every byte: nothing else was touched.
      EXPECT_EQ(written(again, xyz), content);
    }
  }
}

TEST(read_ply, RecentresACloudFarFromZeroAndAddsTheOriginBackInDouble) {
  // Two vertices 1 apart on every axis, far from zero; values exact in float too.
  const double far[2][3] = {{450000.5, 5200000.5, 100.0}, {450001.5, 5200001.5, 101.0}};
  const std::array<double, 3> origin{450001.0, 5200001.0, 100.5};
  for (const PlyFormat format : {PlyFormat::ascii, PlyFormat::binary_little_endian, PlyFormat::binary_big_endian}) {
    for (const bool as_double : {false, true}) {
      SCOPED_TRACE(std::string(format_name(format)) + (as_double ? " double" : " float"));
      const char* type = as_double ? "double" : "float";
      std::string content = std::string("ply\nformat ") + format_name(format) + " 1.0\nelement vertex 2\nproperty " +
                            type + " x\nproperty " + type + " y\nproperty " + type + " z\nend_header\n";
      Body body{format, {}};
      for (const auto& vertex : far) {
        for (const double value : vertex) {
          if (format == PlyFormat::ascii) {
            append_shortest(body.bytes, value);
            body.bytes += ' ';
          } else if (as_double) {
            body.put<double>(value);
          } else {
            body.put<float>(static_cast<float>(value));
          }
        }
        body.end_record();
      }
      content += body.bytes;
      std::vector<float> xyz;
      const PlyDocument doc = read_ply(content, "far.ply", xyz);
      EXPECT_EQ(doc.origin, origin);
      EXPECT_EQ(xyz, std::vector<float>({-0.5f, 0.5f, -0.5f, 0.5f, -0.5f, 0.5f}));
      EXPECT_EQ(written(doc, xyz), content);

      // Moved: the sum in double, rounded once to the property's type.
      std::vector<float> moved = xyz;
      moved[0] = -0.25f;                       // x of vertex 0: 450000.75, exact in both types
      moved[2] = std::nextafter(-0.5f, 1.0f);  // y of vertex 0: 5200000.5 + 2^-25
      const std::string out = written(doc, moved);
      std::vector<float> back;
      const TextTable stored = table_from_ply(read_ply(out, "out.ply", back), "out.ply", "out.csv");
      const std::string_view text = stored.coordinate_text;
      double x = 0.0, y = 0.0;
      ASSERT_TRUE(parse_double(text.substr(0, text.find('\n')), x));
      ASSERT_TRUE(parse_double(text.substr(text.find('\n') + 1, text.find('\n', text.find('\n') + 1) - text.find('\n') - 1), y));
      EXPECT_EQ(x, 450000.75);
      const double sum = static_cast<double>(moved[2]) + origin[1];
      if (as_double)
        EXPECT_EQ(y, sum);
      else
        EXPECT_EQ(static_cast<float>(y), static_cast<float>(sum));
      // The vertex left as it was keeps its bytes.
      EXPECT_EQ(out.substr(out.size() - body.bytes.size() / 2), content.substr(content.size() - body.bytes.size() / 2));
    }
  }
}

TEST(read_ply, RejectsMalformedFilesNamingThePlace) {
  const std::string head = "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty float y\n"
                           "property float z\n";
  const std::string ok = head + "end_header\n";
  std::string binary = sample_ply<float>(PlyFormat::binary_little_endian);
  std::string double_big = sample_ply<double>(PlyFormat::binary_big_endian);
  double_big.replace(double_big.find("end_header\n") + 11 + 1, 8, "\x7f\xef\xff\xff\xff\xff\xff\xff");
  struct Case {
    std::string content;
    std::string message;
  };
  const Case cases[] = {
      {"", "the file is empty"},
      {"ply file\n", "not a PLY file: it does not start with a 'ply' line"},
      {head, "the header has no 'end_header' line (the file is truncated)"},
      {"ply\nformat ascii 2.0\n", "header line 2: unsupported version '2.0'"},
      {"ply\nformat binary 1.0\n", "header line 2: unknown format 'binary'"},
      {"ply\nformat ascii 1.0\nelemnt vertex 1\n", "header line 3: unknown keyword 'elemnt'"},
      {"ply\nformat ascii 1.0\nelement vertex 1\nproperty half x\n", "header line 4: unknown property type 'half'"},
      {"ply\nformat ascii 1.0\nelement vertex -1\n", "header line 3: expected 'element <name> <count>'"},
      {"ply\nformat ascii 1.0\nproperty float x\n", "header line 3: a property before the first element"},
      {"ply\nelement vertex 0\nend_header\n", "the header has no 'format' line"},
      {"ply\nformat ascii 1.0\nelement point 1\nproperty float x\nend_header\n1\n", "the header declares no 'vertex' element"},
      {"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nend_header\n1 2\n",
       "the 'vertex' element has no property 'z'"},
      {"ply\nformat ascii 1.0\nelement vertex 1\nproperty int x\nproperty float y\nproperty float z\nend_header\n",
       "vertex property 'x' must be a float or a double"},
      {"ply\nformat ascii 1.0\nelement vertex 0\nproperty float x\nproperty float y\nproperty float z\nend_header\n",
       "the file holds no points"},
      {ok + "1 2 3\n4 abc 6\n", "line 9 (element 'vertex' record 1): 'abc' is not a number"},
      {ok + "1 2 3\n\n4 5\n\n\n", "line 10 (element 'vertex' record 1): too few values"},
      {ok + "1 2 3 4 5\n\n\n", "line 8 (element 'vertex' record 0): 2 more value(s) than the element's properties take"},
      {ok + "1 2 3\n", "truncated: the header declares 2 vertices, more than the file holds"},
      {ok + "1 2 3\n\n\n\n\n\n", "truncated: the file ends before element 'vertex' record 1 of 2"},
      {"ply\nformat ascii 1.0\nelement vertex 1000000000000\nproperty double x\nproperty double y\n"
       "property double z\nend_header\n1 2 3\n",
       "truncated: the header declares 1000000000000 vertices, more than the file holds"},
      {ok + "1 -inf 3\n4 5 6\n", "element 'vertex' record 0: y is not a finite number"},
      {"ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
       "property float z\nelement face 4000000000\nproperty list uchar int v\nend_header\n" + std::string(20, '\0'),
       "truncated: the header declares 4000000000 'face' records, more than the file holds"},
      {"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
       "element \x1b]0;hi\x07 1\nproperty uchar a\nend_header\n1 2 3\n",
       "truncated: the header declares 1 '\\x1b]0;hi\\x07' records, more than the file holds"},
      {ok + "1 2 3\n4 5 6\n7\n", "line 10: data after the last element 'vertex'"},
      {"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
       "property list uchar int n\nend_header\n1 2 3 -1\n",
       "line 9 (element 'vertex' record 0): list length '-1' is not a whole number of 0 or more"},
      {binary.substr(0, binary.size() - 3), "truncated: element 'material' record 0 of 1 ends past the end of the file"},
      {binary.substr(0, binary.size() - 20), "truncated: element 'face' record 1 of 2 ends past the end of the file"},
      {binary + "\n\x01", "2 bytes follow the last element 'material'"},
      {double_big, "element 'vertex' record 0: z is out of single-precision range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 80));
    std::vector<float> xyz;
    try {
      read_ply(c.content, "bad.ply", xyz);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), "Vandrel:badPlyFile");
      EXPECT_EQ(std::string(e.what()).rfind("bad.ply: " + c.message, 0), 0u) << e.what();
    }
  }
  // Trailing whitespace is no error.
  std::vector<float> xyz;
  EXPECT_NO_THROW(read_ply(binary + "\r\n", "ok.ply", xyz));
}

TEST(write_ply, EndsALoneCarriageReturnHeaderOfABinaryFileWithALineFeed) {
  // Fuzzer find: the first body byte became "\n" and read back as part of the header's line end.
  const std::string head = "ply\rformat binary_big_endian 1.0\relement vertex 1\rproperty float x\r"
                           "property float y\rproperty float z\rend_header\r";
  Body body{PlyFormat::binary_big_endian, {}};
  for (const std::uint32_t bits : {0x0b000000u, 0x3f800000u, 0x40000000u}) body.put<float>(std::bit_cast<float>(bits));
  std::vector<float> xyz;
  const PlyDocument doc = read_ply(head + body.bytes, "in.ply", xyz);
  std::vector<float> moved = xyz;
  moved[0] = std::bit_cast<float>(0x0affffffu);
  const std::string out = written(doc, moved);
  EXPECT_EQ(out.substr(0, head.size() + 2), head + "\n\x0a");
  std::vector<float> back;
  read_ply(out, "out.ply", back);
  EXPECT_EQ(back, moved);
}

TEST(read_ply, TakesCarriageReturnLineEndsAndNaNCoordinates) {
  const std::string head = "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty float y\n"
                           "property float z\nproperty uchar k\nend_header\n";
  std::string cr_only = head + "nan 2 3 7\n\n4 5 6 8\n";
  std::replace(cr_only.begin(), cr_only.end(), '\n', '\r');
  std::string crlf = head + "nan 2 3 7\n4 5 6 8\n";
  for (std::size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2)) crlf.insert(at, "\r");
  std::string binary = "ply\rformat binary_little_endian 1.0\relement vertex 1\rproperty float x\r"
                       "property float y\rproperty float z\rend_header\r\n";
  const float values[3] = {std::numeric_limits<float>::quiet_NaN(), 1.0f, 2.0f};
  binary.append(reinterpret_cast<const char*>(values), sizeof values);
  struct Case {
    const char* label;
    std::string content;
    std::size_t size;
  };
  const Case cases[] = {{"CR only", cr_only, 6}, {"CRLF", crlf, 6}, {"binary after a CRLF header end", binary, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<float> xyz;
    const PlyDocument doc = read_ply(c.content, "in.ply", xyz);
    ASSERT_EQ(xyz.size(), c.size);
    EXPECT_TRUE(std::isnan(xyz[0]));
    EXPECT_EQ(xyz[1], c.size == 6 ? 4.0f : 1.0f);  // x of the second vertex, or y of the only one
    std::ostringstream out;
    write_ply(out, doc, xyz.data());
    EXPECT_EQ(out.str(), c.content);  // NaN written back as "nan" or its bits, line ends kept
    if (doc.format != PlyFormat::ascii) continue;
    const TextTable table = table_from_ply(doc, "in.ply", "out.csv");
    ASSERT_EQ(table.extra_columns, 1);
    EXPECT_EQ(table.extra(0, 0), "7");
    EXPECT_EQ(table.extra(1, 0), "8");
  }
}

TEST(table_from_ply, ConvertsBothWaysKeepingEveryValue) {
  for (const PlyFormat format : {PlyFormat::ascii, PlyFormat::binary_big_endian}) {
    SCOPED_TRACE(format_name(format));
    std::string ply = std::string("ply\nformat ") + format_name(format) +
                      " 1.0\nelement vertex 2\nproperty float x\nproperty uchar red\nproperty float y\n"
                      "property double w\nproperty float z\nproperty short s\nend_header\n";
    Body body{format, {}};
    for (int i = 0; i < 2; ++i) {
      body.put<float>(1.5f * static_cast<float>(i));
      body.put<std::uint8_t>(static_cast<std::uint8_t>(255 - i));
      body.put<float>(2.0f);
      body.put<double>(i == 0 ? 0.1 : -1e-300);
      body.put<float>(-4.0f);
      body.put<std::int16_t>(static_cast<std::int16_t>(-300 * i));
      body.end_record();
    }
    std::vector<float> xyz;
    const PlyDocument doc = read_ply(ply + body.bytes, "in.ply", xyz);
    const TextTable table = table_from_ply(doc, "in.ply", "out.csv");
    EXPECT_EQ(table.header, "x,y,z,red,w,s");
    ASSERT_EQ(table.extra_columns, 3);
    const std::vector<std::string> values = {"255", "0.1", "0", "254", "-1e-300", "-300"};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(table.extra(k / 3, k % 3), values[static_cast<std::size_t>(k)]);

    const PlyDocument back = ply_from_table(table, 2, "out.csv", "back.ply");
    EXPECT_NE(back.content.find("property int red\nproperty double w\nproperty int s\n"), std::string::npos)
        << back.content;
    std::vector<float> same;
    read_ply(back.content, "back.ply", same);
    EXPECT_EQ(same, xyz);
    const TextTable again = table_from_ply(back, "back.ply", "again.csv");
    EXPECT_EQ(again.header, table.header);
    EXPECT_EQ(again.extra_text, table.extra_text);
  }
}

TEST(table_from_ply, QuotesPropertyNamesThatHoldASeparator) {
  const std::string ply = "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                          "property float z\nproperty int a,\"b\nproperty int c;d\nend_header\n1 2 3 4 5\n";
  std::vector<float> xyz;
  const TextTable table = table_from_ply(read_ply(ply, "in.ply", xyz), "in.ply", "out.csv");
  EXPECT_EQ(table.header, "x,y,z,\"a,\"\"b\",\"c;d\"");
  std::ostringstream out;
  write_text_table(out, table, TextDialect::csv, xyz.data(), 1);
  std::vector<float> back;
  const TextTable again = read_text_table(out.str(), TextDialect::csv, "out.csv", back);
  EXPECT_EQ(back, xyz);
  ASSERT_EQ(again.extra_columns, 2);
  EXPECT_EQ(again.extra(0, 0), "4");
  EXPECT_EQ(again.extra(0, 1), "5");
}

TEST(table_from_ply, RefusesWhatATextFileCannotHold) {
  std::vector<float> xyz;
  const PlyDocument mesh = read_ply(sample_ply<float>(PlyFormat::ascii), "mesh.ply", xyz);
  try {
    table_from_ply(mesh, "mesh.ply", "out.xyz");
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:cannotConvert");
    EXPECT_STREQ(e.what(),
                 "cannot write out.xyz: a text point file has no place for the 2 'face' records of mesh.ply; "
                 "write a .ply file to keep them");
  }

  TextTable table;
  table.header = "x,y,z,\"my label\",x,";
  table.extra_columns = 3;
  for (const char* v : {"1", "2.5", "3", "4", "oops", "6"}) table.add_extra(v);
  table.coordinate_text = "0\n0\n0\n1\n1\n1\n";
  try {
    ply_from_table(table, 2, "in.csv", "out.ply");
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:cannotConvert");
    EXPECT_NE(std::string(e.what()).find("field 5 of point 2 of in.csv ('oops') is not a number"), std::string::npos)
        << e.what();
  }
  table.extra_text.clear();
  table.extra_end.clear();
  for (const char* v : {"1", "2.5", "3", "4", "5", "6"}) table.add_extra(v);
  const PlyDocument doc = ply_from_table(table, 2, "in.csv", "out.ply");
  EXPECT_NE(doc.content.find("property int my_label\nproperty double field5\nproperty int field6\n"),
            std::string::npos)
      << doc.content;
}

}  // namespace
}  // namespace vandrel
