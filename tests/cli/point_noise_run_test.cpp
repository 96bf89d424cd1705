// The command line's noise per point (--sigma-field, --sigma range) and --select, on PCD files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "io/byte_values.h"
#include "scratch_dir.h"

namespace vandrel {
namespace {

using testing::Outcome;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

constexpr int points = 2000;
constexpr std::size_t record = 20;  // x y z noise (float), label (uint32)

// A noisy unit sphere seen from 3 units away as a binary PCD with fields noise (0.01 for
// every point) and label (1 for the half x < 0, else 2); its header.
std::string sphere_pcd(std::string& header) {
  std::mt19937_64 rng(3);
  std::normal_distribution<double> normal(0.0, 1.0);
  header = "VERSION 0.7\nFIELDS x y z noise label\nSIZE 4 4 4 4 4\nTYPE F F F F U\nCOUNT 1 1 1 1 1\nWIDTH 2000\n"
           "HEIGHT 1\nVIEWPOINT 0 0 -3 1 0 0 0\nPOINTS 2000\nDATA binary\n";
  std::string pcd = header;
  for (int i = 0; i < points; ++i) {
    double p[3] = {normal(rng), normal(rng), normal(rng)};
    const double length = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    char bytes[record];
    for (int axis = 0; axis < 3; ++axis)
      store_value<float>(bytes + 4 * axis, static_cast<float>(p[axis] / length + 0.01 * normal(rng)), true);
    store_value<float>(bytes + 12, 0.01f, true);
    store_value<std::uint32_t>(bytes + 16, p[0] < 0.0 ? 1u : 2u, true);
    pcd.append(bytes, record);
  }
  return pcd;
}

TEST(vandrel, TakesEachPointsSigmaFromAFieldOrTheRangeAndSelectsByAField) {
  ScratchDir dir;
  std::string header;
  const std::string pcd = sphere_pcd(header);
  write_file(dir / "in.pcd", pcd);
  const std::string density = " --density 159 --quiet";  // 2000 / (4 pi)

  // A field holding one value everywhere gives the bits of that value given as --sigma.
  ASSERT_EQ(testing::run_program(dir, "in.pcd given.pcd --sigma 0.01" + density).code, 0);
  const Outcome field = testing::run_program(dir, "in.pcd field.pcd --sigma-field noise" + density);
  ASSERT_EQ(field.code, 0) << field.err;
  EXPECT_EQ(read_file(dir / "field.pcd"), read_file(dir / "given.pcd"));

  // --select: the points of label 1 are filtered, those of label 2 come back byte for byte.
  ASSERT_EQ(testing::run_program(dir, "in.pcd selected.pcd --select label=1 --sigma 0.01" + density).code, 0);
  const std::string selected = read_file(dir / "selected.pcd");
  ASSERT_EQ(selected.size(), pcd.size());
  int label_1_moved = 0;
  for (int i = 0; i < points; ++i) {
    const std::size_t at = header.size() + record * static_cast<std::size_t>(i);
    const bool chosen = load_value<std::uint32_t>(pcd.data() + at + 16, true) == 1;
    const bool same = selected.compare(at, record, pcd, at, record) == 0;
    if (!chosen) {
      EXPECT_TRUE(same) << "point " << i;
    }
    label_1_moved += chosen && !same;
  }
  EXPECT_GT(label_1_moved, points / 3);

  // --sigma range: about the VIEWPOINT, and it says what it fitted.
  const Outcome range = testing::run_program(dir, "in.pcd range.pcd --sigma range --density 159");
  ASSERT_EQ(range.code, 0) << range.err;
  EXPECT_NE(range.err.find("Noise by range from the sensor at 0,0,-3 (the VIEWPOINT of the PCD header)"),
            std::string::npos)
      << range.err;

  for (const auto& [args, message] : {
           std::pair{"in.pcd out.pcd --sigma-field nois", "'in.pcd' has no field 'nois'; its fields are x, y, z, noise, label"},
           std::pair{"in.pcd out.pcd --select label=one", "--select 'label=one' is not FIELD=VALUES"},
           std::pair{"in.pcd out.pcd --sigma range --tile-points 500", "--sigma range filters the cloud whole"},
       }) {
    SCOPED_TRACE(args);
    const Outcome r = testing::run_program(dir, std::string(args) + density);
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.pcd"));
  }
}

// An organised 80 x 80 depth image 50 units from its sensor of a plane rising `slope` along x,
// its depth noise of 0.1 quantised in unit steps: terraces wider than the noise, 1 / slope wide.
std::string terraces_pcd(float slope) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> jitter(0.0f, 0.3f);
  std::normal_distribution<float> noise(0.0f, 0.1f);
  std::string pcd = "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 80\nHEIGHT 80\n"
                    "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS 6400\nDATA binary\n";
  for (int i = 0; i < 80; ++i)
    for (int j = 0; j < 80; ++j) {
      const float x = static_cast<float>(i) + jitter(rng);
      const float xyz[3] = {x, static_cast<float>(j) + jitter(rng), 50.0f + std::round(slope * x + noise(rng))};
      char bytes[12];
      for (int axis = 0; axis < 3; ++axis) store_value<float>(bytes + 4 * axis, xyz[axis], true);
      pcd.append(bytes, 12);
    }
  return pcd;
}

TEST(vandrel, GivesAnOrganisedDepthImageNoiseByRangeByDefaultAndRefusesOneWhoseBandsShowNone) {
  ScratchDir dir;
  // Terraces 20 units wide: the bands are measured on patches that span several steps.
  write_file(dir / "in.pcd", terraces_pcd(0.05f));
  const Outcome measured = testing::run_program(dir, "in.pcd out.pcd");
  EXPECT_EQ(measured.code, 0) << measured.err;
  EXPECT_NE(measured.err.find(": 0.2017 (depth steps 1)"), std::string::npos) << measured.err;
  std::filesystem::remove(dir / "out.pcd");
  // Terraces 80 units wide, as wide as the image: even the thinned bands' patches lie on one
  // terrace and show no noise, yet the image spreads off its plane at the steps.
  write_file(dir / "in.pcd", terraces_pcd(0.0125f));
  const Outcome r = testing::run_program(dir, "in.pcd out.pcd");
  EXPECT_EQ(r.code, 1);
  for (const char* line : {"Noise by range, the default for an organised depth image (--sigma VALUE: one sigma)\n",
                           "The depth bands measured no noise: one sigma is estimated for the whole cloud\n",
                           "vandrel: The estimated sigma is 0"})
    EXPECT_NE(r.err.find(line), std::string::npos) << line << " missing from\n" << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "out.pcd"));
}

// A depth image stored as a list (HEIGHT 1): 8000 points of a plane rising from 1 to 7 units
// in front of its sensor, their depth noise a + b r^2.
std::string listed_depth_pcd(double a, double b) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::string pcd = "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 8000\nHEIGHT 1\n"
                    "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS 8000\nDATA binary\n";
  for (int i = 0; i < 8000; ++i) {
    const double x = 4.0 * uniform(rng) - 2.0, y = 4.0 * uniform(rng);
    const double z = 1.0 + 1.5 * y;
    const double range = std::sqrt(x * x + y * y + z * z);
    const float xyz[3] = {static_cast<float>(x), static_cast<float>(y),
                          static_cast<float>(z + (a + b * range * range) * normal(rng))};
    char bytes[12];
    for (int axis = 0; axis < 3; ++axis) store_value<float>(bytes + 4 * axis, xyz[axis], true);
    pcd.append(bytes, 12);
  }
  return pcd;
}

TEST(vandrel, GivesADepthImageStoredAsAListNoiseByRangeWhenItsNoiseGrowsWithRange) {
  ScratchDir dir;
  write_file(dir / "camera.pcd", listed_depth_pcd(0.001, 0.0005));
  const Outcome camera = testing::run_program(dir, "camera.pcd default.pcd");
  ASSERT_EQ(camera.code, 0) << camera.err;
  EXPECT_NE(camera.err.find("Noise by range, the default for a depth image: the noise grows "), std::string::npos)
      << camera.err;
  ASSERT_EQ(testing::run_program(dir, "camera.pcd by_range.pcd --sigma range --quiet").code, 0);
  EXPECT_EQ(read_file(dir / "default.pcd"), read_file(dir / "by_range.pcd"));

  // The same plane with one noise everywhere keeps one sigma.
  write_file(dir / "flat_noise.pcd", listed_depth_pcd(0.004, 0.0));
  const Outcome one = testing::run_program(dir, "flat_noise.pcd one.pcd");
  ASSERT_EQ(one.code, 0) << one.err;
  EXPECT_NE(one.err.find("One sigma: the noise by range about the sensor grows "), std::string::npos) << one.err;
  EXPECT_EQ(one.err.find("Noise by range, the default"), std::string::npos) << one.err;
}

}  // namespace
}  // namespace vandrel
