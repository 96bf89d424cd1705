// Runs the built program on PCD, LAS, text and PLY files, far from zero too, and through
// standard input and output.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <random>
#include <sstream>
#include <string>

#include "io/byte_values.h"
#include "io/number_text.h"
#include "io/point_file.h"
#include "scratch_dir.h"

namespace vandrel {
namespace {

using testing::Outcome;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

Outcome run(const ScratchDir& dir, const std::string& args, const std::string& input = "/dev/null") {
  return testing::run_program(dir, args, input);
}

constexpr int sphere_points = 1500;
const double sphere_sigma = 0.5 / std::sqrt(sphere_points / (4.0 * std::numbers::pi));
const std::string sphere_options = "--quiet --sigma " + std::to_string(sphere_sigma) + " --density 119.366";

// A noisy unit sphere around `centre`, sphere_points rows of x, y, z.
std::vector<double> noisy_sphere(std::array<double, 3> centre) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> points;
  for (int i = 0; i < sphere_points; ++i) {
    double p[3] = {normal(rng), normal(rng), normal(rng)};
    const double length = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    for (int axis = 0; axis < 3; ++axis) points.push_back(centre[axis] + p[axis] / length + sphere_sigma * normal(rng));
  }
  return points;
}

double mean_distance_to_sphere(const std::vector<double>& points, std::array<double, 3> centre) {
  double sum = 0.0;
  int counted = 0;
  for (std::size_t i = 0; i + 2 < points.size(); i += 3) {
    if (std::isnan(points[i])) continue;
    const double dx = points[i] - centre[0], dy = points[i + 1] - centre[1], dz = points[i + 2] - centre[2];
    sum += std::abs(std::sqrt(dx * dx + dy * dy + dz * dz) - 1.0);
    ++counted;
  }
  return sum / counted;
}

TEST(vandrel, StreamsThroughStandardInputAndOutputInTheGivenFormat) {
  ScratchDir dir;
  std::ostringstream text;
  text.precision(9);
  const std::vector<double> points = noisy_sphere({0.0, 0.0, 0.0});
  for (std::size_t i = 0; i < points.size(); i += 3) text << points[i] << ' ' << points[i + 1] << ' ' << points[i + 2] << '\n';
  write_file(dir / "in.xyz", text.str());
  write_file(dir / "in.dat", text.str());
  ASSERT_EQ(run(dir, "in.xyz out.xyz " + sphere_options).code, 0);
  const std::string expected = read_file(dir / "out.xyz");

  const Outcome piped = run(dir, "- - --format xyz " + sphere_options, "in.xyz");
  EXPECT_EQ(piped.code, 0) << piped.err;
  EXPECT_EQ(piped.out, expected);
  // Progress goes to standard error only, standard output holds the points alone.
  const Outcome verbose = run(dir, "--sigma 0.02 --density 119.366 - - --format xyz", "in.xyz");
  EXPECT_EQ(verbose.code, 0);
  EXPECT_NE(verbose.err.find("Reading standard input\n"), std::string::npos) << verbose.err;
  EXPECT_NE(verbose.err.find("Denoised 1500 points into standard output\n"), std::string::npos) << verbose.err;
  EXPECT_EQ(verbose.out.find("itr"), std::string::npos);
  EXPECT_EQ(std::count(verbose.out.begin(), verbose.out.end(), '\n'), sphere_points);

  // --format also names the format of an unknown extension, and known ones keep theirs.
  ASSERT_EQ(run(dir, "in.dat out.ply --format xyz " + sphere_options).code, 0);
  EXPECT_EQ(read_point_file(dir / "out.ply").xyz, read_point_file(dir / "out.xyz").xyz);

  const struct {
    std::string args;
    int code;
    const char* message;
  } refused[] = {
      {"- out.xyz", 2, "vandrel: '-' (standard input or output) needs --format\n"},
      {"in.xyz -", 2, "needs --format"},
      {"in.xyz - --format pcd", 1, "PCD, LAS and NPY files are written back only in their own format"},
      {"- out.xyz --format bmp", 2, "--format"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.args);
    const Outcome r = run(dir, c.args + " --sigma 0.01 --density 100", "in.xyz");
    EXPECT_EQ(r.code, c.code);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(vandrel, FiltersAnOrganisedPcdCloudKeepingNanPointsAndOtherFields) {
  ScratchDir dir;
  const std::vector<double> points = noisy_sphere({0.0, 0.0, 0.0});
  // 50 x 30 grid, each record x y z (float) and a 4-byte label; every 100th point is NaN.
  std::string pcd =
      "VERSION 0.7\nFIELDS x y z label\nSIZE 4 4 4 4\nTYPE F F F U\nCOUNT 1 1 1 1\nWIDTH 50\nHEIGHT 30\n"
      "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS 1500\nDATA binary\n";
  const std::size_t header = pcd.size();
  for (int i = 0; i < sphere_points; ++i) {
    char record[16];
    for (int axis = 0; axis < 3; ++axis) {
      const float value = i % 100 == 0 ? NAN : static_cast<float>(points[static_cast<std::size_t>(3 * i + axis)]);
      store_value<float>(record + 4 * axis, value, true);
    }
    store_value<std::uint32_t>(record + 12, static_cast<std::uint32_t>(i * 7919), true);
    pcd.append(record, 16);
  }
  write_file(dir / "in.pcd", pcd);
  const Outcome r = run(dir, "in.pcd out.pcd " + sphere_options);
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string out = read_file(dir / "out.pcd");
  ASSERT_EQ(out.size(), pcd.size());
  EXPECT_EQ(out.substr(0, header), pcd.substr(0, header));
  std::vector<double> before, after;
  for (int i = 0; i < sphere_points; ++i) {
    const std::size_t at = header + 16 * static_cast<std::size_t>(i);
    EXPECT_EQ(out.substr(at + 12, 4), pcd.substr(at + 12, 4)) << "label of point " << i;
    for (std::size_t axis = 0; axis < 3; ++axis) {
      before.push_back(load_value<float>(pcd.data() + at + 4 * axis, true));
      after.push_back(load_value<float>(out.data() + at + 4 * axis, true));
      EXPECT_EQ(std::isnan(after.back()), i % 100 == 0) << "point " << i;
    }
  }
  EXPECT_LT(mean_distance_to_sphere(after, {0, 0, 0}), 0.8 * mean_distance_to_sphere(before, {0, 0, 0}));
}

constexpr double las_scale = 0.0001;

// The first `count` of `points` (rows of x, y, z) as a LAS 1.2 file of point format 0, scale
// 0.0001 and offset centre - 1, the point's number as its intensity, the first `ground` of
// class 2; the header's extents are the points' own.
std::string las_file(const std::vector<double>& points, std::array<double, 3> centre, int count, int ground = 0) {
  std::string las(227, '\0');
  std::memcpy(las.data(), "LASF", 4);
  las[24] = 1;
  las[25] = 2;
  store_value<std::uint16_t>(las.data() + 94, 227, true);
  store_value<std::uint32_t>(las.data() + 96, 227, true);
  store_value<std::uint16_t>(las.data() + 105, 20, true);
  store_value<std::uint32_t>(las.data() + 107, static_cast<std::uint32_t>(count), true);
  for (int axis = 0; axis < 3; ++axis) {
    store_value<double>(las.data() + 131 + 8 * axis, las_scale, true);
    store_value<double>(las.data() + 155 + 8 * axis, centre[static_cast<std::size_t>(axis)] - 1.0, true);
  }
  std::array<double, 3> least{INFINITY, INFINITY, INFINITY}, most{-INFINITY, -INFINITY, -INFINITY};
  for (int i = 0; i < count; ++i) {
    char record[20] = {};
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const double offset = centre[axis] - 1.0;
      const auto steps = static_cast<std::int32_t>(std::lround((points[3 * static_cast<std::size_t>(i) + axis] - offset) / las_scale));
      store_value<std::int32_t>(record + 4 * axis, steps, true);
      least[axis] = std::min(least[axis], steps * las_scale + offset);
      most[axis] = std::max(most[axis], steps * las_scale + offset);
    }
    store_value<std::uint16_t>(record + 12, static_cast<std::uint16_t>(i), true);  // intensity
    record[15] = static_cast<char>(i < ground ? 2 : 1);
    las.append(record, 20);
  }
  for (std::size_t axis = 0; axis < 3; ++axis) {
    store_value<double>(las.data() + 179 + 16 * axis, most[axis], true);
    store_value<double>(las.data() + 187 + 16 * axis, least[axis], true);
  }
  return las;
}

TEST(vandrel, FiltersAGeoreferencedLasFileAtItsFullResolution) {
  ScratchDir dir;
  // Far from zero, where single precision is coarser than the noise: 5400000 steps by 0.5.
  const std::array<double, 3> centre{512000.0, 5400000.0, 120.0};
  const std::vector<double> points = noisy_sphere(centre);
  constexpr double scale = las_scale;
  const std::string las = las_file(points, centre, sphere_points);
  write_file(dir / "in.las", las);
  const Outcome r = run(dir, "in.las out.las " + sphere_options);
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string out = read_file(dir / "out.las");
  ASSERT_EQ(out.size(), las.size());
  std::vector<double> before, after;
  for (int i = 0; i < sphere_points; ++i) {
    const std::size_t at = 227 + 20 * static_cast<std::size_t>(i);
    EXPECT_EQ(out.substr(at + 12, 8), las.substr(at + 12, 8));
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const double offset = centre[axis] - 1.0;
      before.push_back(load_value<std::int32_t>(las.data() + at + 4 * axis, true) * scale + offset);
      after.push_back(load_value<std::int32_t>(out.data() + at + 4 * axis, true) * scale + offset);
    }
  }
  EXPECT_LT(mean_distance_to_sphere(after, centre), 0.8 * mean_distance_to_sphere(before, centre));
}

TEST(vandrel, SaysWhatItMovedAndEstimatedFromAndReturnsAnUnfilteredLasFileAsItWas) {
  ScratchDir dir;
  const std::array<double, 3> centre{512000.0, 5400000.0, 120.0};
  const std::vector<double> points = noisy_sphere(centre);

  // Ten points are too few to filter: the file comes back byte for byte, its header's
  // maximum z too, though another writer computed it a bit above the points' own.
  std::string ten = las_file(points, centre, 10);
  const double top = load_value<double>(ten.data() + 211, true);
  store_value<double>(ten.data() + 211, std::nextafter(top, INFINITY), true);
  write_file(dir / "ten.las", ten);
  const Outcome unfiltered = run(dir, "ten.las out.las --sigma 0.01 --density 100");
  ASSERT_EQ(unfiltered.code, 0) << unfiltered.err;
  EXPECT_EQ(read_file(dir / "out.las"), ten);
  for (const char* line : {"Moved 0 of 10 points\n",
                           "Not filtered: only 10 points have finite coordinates; the filter needs 50 or more\n",
                           "Wrote 10 unchanged points into out.las\n"})
    EXPECT_NE(unfiltered.err.find(line), std::string::npos) << line << " missing from\n" << unfiltered.err;

  // Of a classified file, the ground points (class 2) give the estimates, and the run says so.
  write_file(dir / "in.las", las_file(points, centre, sphere_points, 600));
  const Outcome ground = run(dir, "in.las out.las");
  ASSERT_EQ(ground.code, 0) << ground.err;
  const std::string from = " (from the 600 points of class 2)\n";
  const std::size_t sigma_line = ground.err.find("\nEstimated sigma: ");
  EXPECT_NE(ground.err.find("points per unit area" + from), std::string::npos) << ground.err;
  EXPECT_EQ(ground.err.find(from, sigma_line), ground.err.find('\n', sigma_line + 1) - from.size() + 1) << ground.err;
  for (const char* line : {" of 1500 points\n", "Denoised 1500 points into out.las\n"})
    EXPECT_NE(ground.err.find(line), std::string::npos) << line << " missing from\n" << ground.err;
  EXPECT_EQ(ground.err.find("Moved 0 "), std::string::npos) << ground.err;
  // Out of core alike: the region (here the whole cloud) is estimated from its ground, and
  // every point filtered as one cloud, as --returns all filters them in memory.
  const Outcome disk = run(dir, "in.las disk.las --out-of-core");
  ASSERT_EQ(disk.code, 0) << disk.err;
  EXPECT_NE(disk.err.find(" (from the 600 points of class 2 of one region)\n"), std::string::npos) << disk.err;
  ASSERT_EQ(run(dir, "in.las all.las --returns all").code, 0);
  EXPECT_TRUE(read_file(dir / "disk.las") == read_file(dir / "all.las"));
}


TEST(vandrel, FiltersAClassifiedScansGroundAndOtherSurfacesApartByDefault) {
  ScratchDir dir;
  const std::array<double, 3> centre{512000.0, 5400000.0, 120.0};
  // Ground z = 0.02 x with noise 0.05, 2 points per unit area on 30 x 30 (class 2, single
  // returns), under a canopy over half of it, 3 to 9 above (class 1, as a scan that leaves
  // vegetation unclassified): two of three canopy points the first of a pulse's two returns.
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(0.0, 30.0);
  std::normal_distribution<double> noise(0.0, 0.05);
  constexpr int ground = 1800, canopy = 900;
  std::vector<double> points;
  for (int i = 0; i < ground + canopy; ++i) {
    const double x = i < ground ? u(rng) : u(rng) / 2.0, y = u(rng);
    const double z = 0.02 * x + (i < ground ? noise(rng) : 3.0 + u(rng) / 5.0);
    points.insert(points.end(), {centre[0] + x, centre[1] + y, centre[2] + z});
  }
  std::string las = las_file(points, centre, ground + canopy, ground);
  for (std::size_t i = ground; i < ground + canopy; ++i)
    las[227 + 20 * i + 14] = static_cast<char>((i % 3 == 0 ? 2 : 1) | 2 << 3);
  write_file(dir / "in.las", las);
  const auto roughness = [&](const std::string& file) {
    double sum = 0.0;
    for (std::size_t i = 0; i < ground; ++i) {
      const auto coordinate = [&](std::size_t axis) {
        return load_value<std::int32_t>(file.data() + 227 + 20 * i + 4 * axis, true) * las_scale + centre[axis] - 1.0;
      };
      const double height = coordinate(2) - centre[2] - 0.02 * (coordinate(0) - centre[0]);
      sum += height * height;
    }
    return std::sqrt(sum / ground);
  };

  const Outcome r = run(dir, "in.las out.las");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("Filtering the 1800 ground points (class 2) and, apart, the 300 last returns of other surfaces"),
            std::string::npos) << r.err;
  const std::string out = read_file(dir / "out.las");
  ASSERT_EQ(out.size(), las.size());
  EXPECT_LT(roughness(out), 0.7 * roughness(las));
  for (std::size_t i = ground; i < ground + canopy; ++i)
    if (i % 3 != 0) EXPECT_EQ(out.substr(227 + 20 * i, 20), las.substr(227 + 20 * i, 20)) << "point " << i;

  // Without a ground class, the last returns: the canopy's first returns come back as they were.
  std::string unclassified = las;
  for (std::size_t i = 0; i < ground + canopy; ++i) unclassified[227 + 20 * i + 15] = 1;
  write_file(dir / "unclassified.las", unclassified);
  const Outcome last = run(dir, "unclassified.las last.las");
  ASSERT_EQ(last.code, 0) << last.err;
  EXPECT_NE(last.err.find("Filtering the 2100 last returns of 2700 points (no ground class)"), std::string::npos)
      << last.err;
  const std::string last_out = read_file(dir / "last.las");
  for (std::size_t i = ground; i < ground + canopy; ++i)
    if (i % 3 != 0) EXPECT_EQ(last_out.substr(227 + 20 * i, 20), las.substr(227 + 20 * i, 20)) << "point " << i;

  // Given parameters filter every point as one cloud, as they always have.
  ASSERT_EQ(run(dir, "in.las given.las --sigma 0.05 --density 2").code, 0);
  ASSERT_EQ(run(dir, "in.las all.las --sigma 0.05 --density 2 --returns all").code, 0);
  EXPECT_TRUE(read_file(dir / "given.las") == read_file(dir / "all.las"));
  EXPECT_FALSE(read_file(dir / "given.las") == out);
}

TEST(vandrel, FiltersOnlyTheClassesAndReturnsSelectedAndPassesTheOthersThrough) {
  ScratchDir dir;
  const std::array<double, 3> centre{512000.0, 5400000.0, 120.0};
  const std::vector<double> points = noisy_sphere(centre);
  // The first 600 points of class 2, the others of class 1; of every four pulses' records,
  // two single returns, then the first and the second of a pulse of two.
  std::string las = las_file(points, centre, sphere_points, 600);
  for (std::size_t i = 0; i < sphere_points; ++i) {
    const int number = i % 4 == 3 ? 2 : 1, count = i % 4 >= 2 ? 2 : 1;
    las[227 + 20 * i + 14] = static_cast<char>(number | count << 3);
  }
  write_file(dir / "in.las", las);
  const auto record = [](const std::string& file, std::size_t i) { return file.substr(227 + 20 * i, 20); };

  // The last returns of class 1: 675 points, which give the estimates; the others come back byte for byte.
  const Outcome last = run(dir, "in.las out.las --classes 1 --returns last");
  ASSERT_EQ(last.code, 0) << last.err;
  for (const char* line : {"Selected 675 of 1500 points (--classes 1 --returns last)\n",
                           "points per unit area (from the 675 selected points)\n", " of 675 selected points\n",
                           "Denoised 1500 points (675 of them selected and filtered) into out.las\n"})
    EXPECT_NE(last.err.find(line), std::string::npos) << line << " missing from\n" << last.err;
  const std::string out = read_file(dir / "out.las");
  ASSERT_EQ(out.size(), las.size());
  std::vector<double> before, after;
  for (std::size_t i = 0; i < sphere_points; ++i) {
    if (i < 600 || i % 4 == 2) {
      EXPECT_EQ(record(out, i), record(las, i)) << "point " << i;
      continue;
    }
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const double offset = centre[axis] - 1.0;
      before.push_back(load_value<std::int32_t>(las.data() + 227 + 20 * i + 4 * axis, true) * las_scale + offset);
      after.push_back(load_value<std::int32_t>(out.data() + 227 + 20 * i + 4 * axis, true) * las_scale + offset);
    }
  }
  EXPECT_LT(mean_distance_to_sphere(after, centre), 0.8 * mean_distance_to_sphere(before, centre));
  // In tiles, the same bits.
  const Outcome tiled = run(dir, "in.las tiled.las --quiet --classes 1 --returns last --tile-points 200");
  ASSERT_EQ(tiled.code, 0) << tiled.err;
  EXPECT_TRUE(read_file(dir / "tiled.las") == out);

  // First returns of class 2: 450 points; a class no point has: the file back as it was.
  const Outcome first = run(dir, "in.las first.las --classes 2 --returns first " + sphere_options.substr(8));
  EXPECT_NE(first.err.find("Selected 450 of 1500 points (--classes 2 --returns first)\n"), std::string::npos) << first.err;
  const Outcome none = run(dir, "in.las none.las --classes 7,9");
  ASSERT_EQ(none.code, 0) << none.err;
  EXPECT_TRUE(read_file(dir / "none.las") == las);
  for (const char* line : {"Selected 0 of 1500 points (--classes 7,9)\n", "Not filtered: --classes 7,9 selects no point\n",
                           "Wrote 1500 unchanged points into none.las\n"})
    EXPECT_NE(none.err.find(line), std::string::npos) << line << " missing from\n" << none.err;

  // What cannot be selected is refused by name, before anything is written.
  write_file(dir / "in.xyz", "0 0 0\n1 0 0\n0 1 0\n");
  const struct {
    std::string args;
    int code;
    std::string message;
  } refused[] = {
      {"in.las disk.las --classes 2 --out-of-core", 1,
       "vandrel: --classes 2 is filtered in memory only, not out of core (--out-of-core): leave out --out-of-core\n"},
      {"in.las disk.las --returns last --memory-limit 20K", 1,
       "vandrel: --returns last is filtered in memory only, not out of core (--memory-limit 20480 bytes is too little "
       "to hold 'in.las' whole): leave out the selection or raise --memory-limit\n"},
      {"in.xyz out.xyz --returns first", 1,
       "vandrel: --returns first selects points by their LAS classification and returns, but 'in.xyz' is not a LAS file\n"},
      {"in.las disk.las --classes 2,x", 2, "--classes: '2,x' is not a list of LAS classes from 0 to 255, such as 2 or 2,6\n"},
      {"in.las disk.las --returns second", 2, "--returns: second not in {all,first,last}\n"},
  };
  for (const auto& c : refused) {
    const Outcome r = run(dir, c.args);
    EXPECT_EQ(r.code, c.code) << c.args;
    EXPECT_EQ(r.err.substr(0, c.message.size()), c.message) << c.args;
    EXPECT_FALSE(std::filesystem::exists(dir / "disk.las")) << c.args;
  }
}

// `points` (rows of x, y, z) as a file in `format`: xyz, csv, ascii or binary PLY with double
// coordinates; every value as the shortest decimal that reads back to it.
std::string point_file_text(const std::vector<double>& points, const std::string& format) {
  const std::size_t n = points.size() / 3;
  std::string text;
  if (format == "csv") text = "x,y,z\n";
  if (format == "ascii.ply" || format == "binary.ply")
    text = "ply\nformat " + std::string(format == "ascii.ply" ? "ascii" : "binary_little_endian") +
           " 1.0\nelement vertex " + std::to_string(n) +
           "\nproperty double x\nproperty double y\nproperty double z\nend_header\n";
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const double value = points[3 * i + axis];
      if (format == "binary.ply") {
        char bytes[8];
        store_value<double>(bytes, value, true);
        text.append(bytes, 8);
        continue;
      }
      if (axis > 0) text.push_back(format == "csv" ? ',' : ' ');
      append_shortest(text, value);
    }
    if (format != "binary.ply") text.push_back('\n');
  }
  return text;
}

// The coordinates of a point file as it holds them, rows of x, y, z: what the filter saw
// plus the origin, in double.
std::vector<double> absolute_points(const PointFile& file) {
  const std::array<double, 3> origin =
      std::holds_alternative<TextTable>(file.layout) ? std::get<TextTable>(file.layout).origin
                                                     : std::get<PlyDocument>(file.layout).origin;
  std::vector<double> points;
  const auto n = static_cast<std::size_t>(file.size);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t axis = 0; axis < 3; ++axis)
      points.push_back(static_cast<double>(file.xyz[axis * n + i]) + origin[axis]);
  return points;
}

TEST(vandrel, FiltersTextAndPlyFilesFarFromZeroAsNearIt) {
  ScratchDir dir;
  // On a grid of 2^-17 with its bounding box centred on zero, so that the cloud moved far
  // away is exact in double and, recentred, gives the filter the very same values.
  std::vector<double> near = noisy_sphere({0, 0, 0});
  for (double& v : near) v = std::round(v * 65536.0) / 65536.0;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    double least = near[axis], most = near[axis];
    for (std::size_t i = axis; i < near.size(); i += 3) {
      least = std::min(least, near[i]);
      most = std::max(most, near[i]);
    }
    for (std::size_t i = axis; i < near.size(); i += 3) near[i] -= (least + most) / 2;
  }
  // UTM-like: single precision steps by 0.5 in y there, ten times the noise.
  const std::array<double, 3> shift{450000.0, 5200000.0, 100.0};
  std::vector<double> far = near;
  for (std::size_t i = 0; i < far.size(); ++i) far[i] += shift[i % 3];

  for (const std::string format : {"xyz", "csv", "ascii.ply", "binary.ply"}) {
    SCOPED_TRACE(format);
    write_file(dir / ("near." + format), point_file_text(near, format));
    write_file(dir / ("far." + format), point_file_text(far, format));
    // The estimators see the recentred cloud too: the same estimates.
    const Outcome near_run = run(dir, "near." + format + " near_out." + format);
    const Outcome far_run = run(dir, "far." + format + " far_out." + format);
    ASSERT_EQ(near_run.code, 0) << near_run.err;
    ASSERT_EQ(far_run.code, 0) << far_run.err;
    const auto estimates = [](const std::string& err) { return err.substr(err.find("Estimated density")).substr(0, 80); };
    EXPECT_EQ(estimates(far_run.err), estimates(near_run.err));

    const std::vector<double> near_out = absolute_points(read_point_file(dir / ("near_out." + format)));
    const std::vector<double> far_out = absolute_points(read_point_file(dir / ("far_out." + format)));
    ASSERT_EQ(far_out.size(), near_out.size());
    double largest_difference = 0.0;
    for (std::size_t i = 0; i < far_out.size(); ++i)
      largest_difference = std::max(largest_difference, std::abs(far_out[i] - shift[i % 3] - near_out[i]));
    EXPECT_LT(largest_difference, 1e-3 * sphere_sigma);
    EXPECT_LT(mean_distance_to_sphere(near_out, {0, 0, 0}), 0.8 * mean_distance_to_sphere(near, {0, 0, 0}));
  }
}

}  // namespace
}  // namespace vandrel
