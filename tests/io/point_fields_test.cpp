#include "io/point_fields.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "format_test_util.h"

namespace vandrel {
namespace {

std::string written(const PointFile& file, PointFormat format) {
  std::ostringstream out;
  write_point_data(out, file, file.xyz.data(), format, "out");
  return out.str();
}

std::vector<PointField> fields_of(std::int64_t n, float base) {
  std::vector<PointField> fields{{"nx", {}}, {"ny", {}}, {"nz", {}}, {"noise", {}}};
  for (std::size_t f = 0; f < fields.size(); ++f)
    for (std::int64_t i = 0; i < n; ++i) fields[f].values.push_back(base + static_cast<float>(f) + 0.25f * static_cast<float>(i));
  fields[3].values[1] = std::nanf("");
  return fields;
}

TEST(set_point_fields, CsvReplacesNamedColumnsAndAddsTheOthers) {
  std::vector<float> xyz;
  PointFile file = read_point_data("id,x,y,z,nx\n7,1,2,3,9\n8,4,5,6,9\n", PointFormat::csv, "in.csv");
  std::vector<PointField> fields{{"nx", {0.5f, -0.5f}}, {"noise", {0.125f, std::nanf("")}}};
  set_point_fields(file, fields, "out.csv");
  EXPECT_EQ(written(file, PointFormat::csv), "id,x,y,z,nx,noise\n7,1,2,3,0.5,0.125\n8,4,5,6,-0.5,nan\n");
}

// Every binary format and DATA kind: the fields are added once, then replaced in place on a
// second run (NPY columns have no names: they are added again), and the coordinates read
// back as they were.
TEST(set_point_fields, AddThenReplaceRoundTripsInEveryFormat) {
  const struct {
    const char* name;
    PointFormat format;
  } files[] = {{"las12_format0.las", PointFormat::las},       {"las14_format7.las", PointFormat::las},
               {"numpy_f4_big_endian_v2.npy", PointFormat::npy}, {"numpy_f8_fortran.npy", PointFormat::npy},
               {"open3d_ascii.pcd", PointFormat::pcd},        {"pcl_organised_binary.pcd", PointFormat::pcd},
               {"pcl_organised_compressed.pcd", PointFormat::pcd}, {"pcl_double_compressed.pcd", PointFormat::pcd},
               {"open3d_binary.ply", PointFormat::ply}};
  for (const auto& [name, format] : files) {
    SCOPED_TRACE(name);
    PointFile file = read_point_data(testing::test_file(name), format, name);
    const std::vector<float> coordinates = file.xyz;
    set_point_fields(file, fields_of(file.size, 1.0f), "out");
    const std::string once = written(file, format);
    PointFile again = read_point_data(once, format, "once");
    EXPECT_TRUE(testing::same_values(again.xyz, coordinates));
    set_point_fields(again, fields_of(file.size, 2.0f), "out");
    const std::string twice = written(again, format);
    // Fixed-size records (not text, not compressed) keep their size when replaced.
    const std::string file_name = name;
    if (format != PointFormat::npy && file_name.find("compressed") == std::string::npos &&
        file_name.find("ascii") == std::string::npos)
      EXPECT_EQ(twice.size(), once.size());
    EXPECT_NE(twice, once);
    const PointFile back = read_point_data(twice, format, "twice");
    EXPECT_TRUE(testing::same_values(back.xyz, coordinates));
    if (format == PointFormat::npy) {
      // The added columns hold the values, in the array's own dtype and order.
      const NpyDocument& npy = std::get<NpyDocument>(back.layout);
      EXPECT_EQ(npy.columns, std::get<NpyDocument>(file.layout).columns + 4);
      EXPECT_EQ(npy_value(npy, npy.content.data() + npy.data_begin +
                                   (npy.fortran_order ? (npy.columns - 1) * npy.rows + 2 : 3 * npy.columns - 1) *
                                       (npy.is_double ? 8 : 4)),
                2.0 + 3.0 + 0.5);  // noise of point 2, second run
    }
  }
}

TEST(set_point_fields, LasFieldsAreDescribedExtraBytes) {
  PointFile file = read_point_data(testing::test_file("las12_format1.las"), PointFormat::las, "in.las");
  const std::size_t record = std::get<LasDocument>(file.layout).record_length;
  set_point_fields(file, fields_of(file.size, 1.0f), "out.las");
  const LasDocument& las = std::get<LasDocument>(file.layout);
  EXPECT_EQ(las.record_length, record + 16);
  // The last field of point 2 is its noise value, little-endian float.
  EXPECT_EQ(load_value<float>(las.content.data() + las.points_begin + 2 * las.record_length + record + 12, true),
            4.0f + 0.5f);
  EXPECT_NE(las.content.find("LASF_Spec"), std::string::npos);
  testing::expect_error(
      [&] {
        std::vector<PointField> long_name{{std::string(33, 'n'), std::vector<float>(static_cast<std::size_t>(file.size))}};
        set_point_fields(file, long_name, "out.las");
      },
      "Vandrel:cannotConvert", "1 to 32 bytes");
}

}  // namespace
}  // namespace vandrel
