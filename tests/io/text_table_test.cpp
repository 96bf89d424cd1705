#include "io/text_table.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <sstream>

#include "api/error.h"

namespace vandrel {
namespace {

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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<float> xyz;
    const TextTable table = read_text_table(c.content, c.dialect, "in.txt", xyz);
    EXPECT_EQ(xyz, c.xyz);
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

}  // namespace
}  // namespace vandrel
