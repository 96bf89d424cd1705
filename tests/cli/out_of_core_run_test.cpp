// Clouds filtered out of core (--out-of-core, or --memory-limit on a file too large to hold):
// the same bytes as a run in memory, nothing left beside the output, clear refusals.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "io/byte_values.h"
#include "scratch_dir.h"

namespace vandrel {
namespace {

using testing::Outcome;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

Outcome run(const ScratchDir& dir, const std::string& args) { return testing::run_program(dir, args); }

// A noisy wavy strip of n points, one per unit area, as rows of x, y, z, plus an extra value.
std::vector<std::array<double, 4>> strip(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> along(0.0, n / 20.0);
  std::uniform_real_distribution<double> across(0.0, 20.0);
  std::normal_distribution<double> noise(0.0, 0.4);
  std::vector<std::array<double, 4>> rows;
  for (int i = 0; i < n; ++i) {
    const double x = along(rng);
    rows.push_back({x + noise(rng), across(rng) + noise(rng), 4.0 * std::sin(x / 40.0) + noise(rng), double(i)});
  }
  return rows;
}

// A float32 .npy file of rows x 4, C order; every 1000th row NaN.
std::string npy_of(const std::vector<std::array<double, 4>>& rows) {
  std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (" + std::to_string(rows.size()) + ", 4), }";
  while ((10 + header.size() + 1) % 64 != 0) header += ' ';
  header += '\n';
  std::string bytes = "\x93NUMPY";
  bytes += '\x01';
  bytes += '\x00';
  bytes += static_cast<char>(header.size() & 0xff);
  bytes += static_cast<char>(header.size() >> 8);
  bytes += header;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t c = 0; c < 4; ++c) {
      char value[4];
      store_value<float>(value, i % 1000 == 7 && c < 3 ? std::nanf("") : static_cast<float>(rows[i][c]), true);
      bytes.append(value, 4);
    }
  }
  return bytes;
}

// A LAS 1.2 file of format 0 far from zero (millimetre steps), the extra value as intensity.
std::string las_of(const std::vector<std::array<double, 4>>& rows) {
  const std::array<double, 3> offset{512000.0, 5400000.0, 100.0};
  std::string las(227, '\0');
  std::memcpy(las.data(), "LASF", 4);
  las[24] = 1;
  las[25] = 2;
  store_value<std::uint16_t>(las.data() + 94, 227, true);
  store_value<std::uint32_t>(las.data() + 96, 227, true);
  store_value<std::uint16_t>(las.data() + 105, 20, true);
  store_value<std::uint32_t>(las.data() + 107, static_cast<std::uint32_t>(rows.size()), true);
  for (std::size_t axis = 0; axis < 3; ++axis) {
    store_value<double>(las.data() + 131 + 8 * axis, 0.001, true);
    store_value<double>(las.data() + 155 + 8 * axis, offset[axis], true);
  }
  for (const auto& row : rows) {
    char record[20] = {};
    for (std::size_t axis = 0; axis < 3; ++axis)
      store_value<std::int32_t>(record + 4 * axis, static_cast<std::int32_t>(std::lround(row[axis] * 1000.0)), true);
    store_value<std::uint16_t>(record + 12, static_cast<std::uint16_t>(row[3]), true);
    las.append(record, 20);
  }
  return las;
}

TEST(vandrel, FiltersOutOfCoreTheBytesItFiltersInMemory) {
  ScratchDir dir;
  const auto rows = strip(12000, 3);
  write_file(dir / "in.npy", npy_of(rows));
  write_file(dir / "in.las", las_of(rows));
  for (const std::string format : {"npy", "las"}) {
    SCOPED_TRACE(format);
    const std::string files = "in." + format + " ";
    const Outcome memory = run(dir, files + "memory." + format + " --sigma 0.4 --density 1");
    ASSERT_EQ(memory.code, 0) << memory.err;
    const Outcome disk = run(dir, files + "disk." + format + " --sigma 0.4 --density 1 --out-of-core --tile-points 3000");
    ASSERT_EQ(disk.code, 0) << disk.err;
    EXPECT_NE(disk.err.find("tile 4/"), std::string::npos) << disk.err;  // several tiles
    const std::string filtered = read_file(dir / ("disk." + format));
    EXPECT_EQ(filtered.size(), read_file(dir / ("in." + format)).size());
    EXPECT_TRUE(filtered == read_file(dir / ("memory." + format)));
    EXPECT_FALSE(filtered == read_file(dir / ("in." + format)));
    // Tiles held in memory: the same bytes, each tile's stages named as out of core.
    const Outcome tiles = run(dir, files + "tiles." + format + " --sigma 0.4 --density 1 --tile-points 3000");
    ASSERT_EQ(tiles.code, 0) << tiles.err;
    EXPECT_NE(tiles.err.find("tile 4/"), std::string::npos) << tiles.err;
    EXPECT_TRUE(read_file(dir / ("tiles." + format)) == filtered);
    // Both count the points they moved alike.
    const auto moved_line = [](const std::string& err) {
      const std::size_t at = err.find("Moved ");
      return at == std::string::npos ? std::string("none") : err.substr(at, err.find('\n', at) - at);
    };
    EXPECT_EQ(moved_line(disk.err), moved_line(memory.err));
    EXPECT_NE(moved_line(disk.err).find(" of 12000 points"), std::string::npos) << disk.err;
    EXPECT_EQ(moved_line(disk.err).find("Moved 0 "), std::string::npos) << disk.err;
  }
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"disk.las", "disk.npy", "in.las", "in.npy", "memory.las",
                                                     "memory.npy", "tiles.las", "tiles.npy"}));
}

TEST(vandrel, EstimatesTheParametersOfACloudOutOfCoreFromOneRegion) {
  ScratchDir dir;
  write_file(dir / "in.npy", npy_of(strip(12000, 4)));
  const Outcome r = run(dir, "in.npy out.npy --out-of-core");
  ASSERT_EQ(r.code, 0) << r.err;
  for (const std::string line : {"Estimated density: ", "Estimated sigma: ", "12 rows have a non-finite coordinate"}) {
    EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
  }
  EXPECT_NE(r.err.find("points of one region)"), std::string::npos) << r.err;
  const std::size_t at = r.err.find("Estimated sigma: ") + 17;
  const double sigma = std::stod(r.err.substr(at));
  EXPECT_GT(sigma, 0.3);
  EXPECT_LT(sigma, 0.5);
}

TEST(vandrel, RefusesWhatItCannotFilterOutOfCore) {
  ScratchDir dir;
  write_file(dir / "in.xyz", "0 0 0\n1 0 0\n0 1 0\n");
  write_file(dir / "in.npy", npy_of(strip(100, 5)));
  struct Case {
    std::string args;
    std::string message;
  };
  const Case cases[] = {
      {"in.xyz out.xyz --out-of-core", "only .npy and .las clouds are filtered out of core"},
      {"in.npy out.las --out-of-core", "written back only in their own format"},
      {"in.npy out.npy --out-of-core --tile-points 0", "--tile-points"},
      {"- out.npy --format npy --out-of-core", "standard input is read only whole"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome r = run(dir, c.args);
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(dir.listing(), (std::vector<std::string>{"in.npy", "in.xyz"}));
  }
}

TEST(vandrel, StopsARunOutOfCoreAtOnceOnCtrlCLeavingNothing) {
  ScratchDir dir;
  write_file(dir / "in.npy", npy_of(strip(200000, 6)));
  const testing::Interrupted run = testing::interrupt_program(
      {(dir / "in.npy").string(), (dir / "out.npy").string(), "--quiet", "--sigma", "0.4", "--density", "1",
       "--out-of-core", "--tile-points", "50000"},
      std::chrono::milliseconds(1500));
  EXPECT_LT(run.seconds, 3.0);
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGINT) << run.status;
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.npy"});
}

}  // namespace
}  // namespace vandrel
