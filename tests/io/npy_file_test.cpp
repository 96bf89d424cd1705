#include "io/npy_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "format_test_util.h"

namespace vandrel {
namespace {

using testing::expect_error;
using testing::test_file;

std::string written(const NpyDocument& document, const std::vector<float>& xyz) {
  std::ostringstream out;
  write_npy(out, document, xyz.data());
  return out.str();
}

TEST(read_npy, ReadsTheSameCoordinatesFromEveryDtypeOrderAndVersion) {
  std::vector<float> reference;
  const NpyDocument c_order = read_npy(test_file("numpy_f4_c.npy"), "c.npy", reference);
  EXPECT_EQ(c_order.rows, 36);
  EXPECT_EQ(c_order.columns, 3);
  // The same surface saved as float64 Fortran order with two extra columns, and as
  // big-endian float32 in a version 2.0 file.
  for (const char* name : {"numpy_f8_fortran.npy", "numpy_f4_big_endian_v2.npy"}) {
    SCOPED_TRACE(name);
    std::vector<float> xyz;
    const NpyDocument document = read_npy(test_file(name), name, xyz);
    EXPECT_EQ(document.rows, 36);
    EXPECT_GT(document.columns, 3);
    testing::expect_same_points(xyz, document.origin, reference, c_order.origin);
  }
}

TEST(write_npy, ReplacesOnlyTheCoordinatesInTheFilesOwnDtypeAndOrder) {
  for (const char* name : {"numpy_f4_c.npy", "numpy_f8_fortran.npy", "numpy_f4_big_endian_v2.npy"}) {
    SCOPED_TRACE(name);
    const std::string original = test_file(name);
    std::vector<float> xyz;
    const NpyDocument document = read_npy(original, name, xyz);
    EXPECT_EQ(written(document, xyz), original);

    std::vector<float> moved = xyz;
    for (std::size_t i = 0; i < moved.size(); ++i) moved[i] += 0.25f * static_cast<float>(i % 3 + 1);
    const std::string output = written(document, moved);
    std::vector<float> reread;
    const NpyDocument again = read_npy(output, name, reread);
    testing::expect_same_points(reread, again.origin, moved, document.origin);
    // Header and extra columns come back byte for byte.
    ASSERT_EQ(output.size(), original.size());
    EXPECT_EQ(output.substr(0, document.data_begin), original.substr(0, document.data_begin));
    const std::size_t item = document.is_double ? 8 : 4;
    for (std::int64_t row = 0; row < document.rows; ++row) {
      for (std::int64_t column = 3; column < document.columns; ++column) {
        const std::int64_t index = document.fortran_order ? column * document.rows + row : row * document.columns + column;
        const std::size_t at = document.data_begin + static_cast<std::size_t>(index) * item;
        EXPECT_EQ(output.substr(at, item), original.substr(at, item)) << "row " << row << " column " << column;
      }
    }
  }
}

TEST(read_npy, RefusesWhatItCannotHoldNamingTheFault) {
  const std::string good = test_file("numpy_f4_c.npy");
  // Replaces `from` in the header, keeping the header's length with its padding spaces.
  auto with_header = [&](const std::string& from, const std::string& to) {
    std::string bytes = good;
    const std::size_t line_end = bytes.find('\n');
    bytes.replace(bytes.find(from), from.size(), to);
    if (to.size() > from.size())
      bytes.erase(line_end, to.size() - from.size());
    else
      bytes.insert(line_end - (from.size() - to.size()), from.size() - to.size(), ' ');
    return bytes;
  };
  std::string infinite = good;
  const float inf = std::numeric_limits<float>::infinity();
  std::memcpy(infinite.data() + infinite.size() - 8, &inf, 4);  // y of the last row
  const struct {
    const char* label;
    std::string bytes;
    const char* part;
  } cases[] = {
      {"not npy", "x,y,z\n1,2,3\n", "not a .npy file"},
      {"integers", with_header("'<f4'", "'<i4'"), "is not float32 or float64"},
      {"structured", with_header("'<f4'", "[('x','<f4')]"), "no plain dtype"},
      {"two columns", with_header("(36, 3)", "(54, 2)"), "is not N x 3"},
      {"one dimension", with_header("(36, 3)", "(108,)"), "is not N x 3"},
      {"no rows", with_header("(36, 3)", "(0, 3)"), "no rows"},
      {"truncated", good.substr(0, good.size() - 4), "truncated"},
      {"infinite", infinite, "row 35: y is infinite"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<float> xyz;
    expect_error([&] { read_npy(c.bytes, "bad.npy", xyz); }, "Vandrel:badNpyFile", c.part);
  }
}

}  // namespace
}  // namespace vandrel
