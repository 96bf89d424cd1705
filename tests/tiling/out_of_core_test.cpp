#include "tiling/out_of_core.h"

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vandrel/error.h"
#include "tiling/strip_cloud.h"
#include "vandrel/vandrel.h"

namespace vandrel {
namespace {

using testing::same_bits;
using testing::strip;

// A scratch directory of its own, to see what a run leaves in it (named by the process too:
// checkouts tested at once on one machine share the temporary folder).
class FileTiling : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = std::filesystem::temp_directory_path() /
                 ("vandrel-file-tiling-" + std::to_string(::getpid()) + "-" +
                  std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(directory_), {}));
  }

  std::filesystem::path directory_;
};

std::vector<Point> read_all(const RowFile& file) {
  std::vector<Point> points(static_cast<std::size_t>(file.rows));
  read_rows(file, 0, points);
  return points;
}

// One untiled reference for both tile loops: tiles held in memory and tiles out of core
// give its bits at two tile sizes and thread counts.
TEST_F(FileTiling, InMemoryAndOutOfCoreGiveTheUntiledBitsAtEveryTileSize) {
  // The strip's sparse end makes some tiles read again with a wider halo.
  const std::vector<Point> cloud = strip(7);
  const std::vector<Point> whole = denoise(cloud, 0.4f, 1.0f, {.threads = 2});
  for (const std::int64_t tile_points : {std::int64_t{4000}, std::int64_t{1500}}) {
    SCOPED_TRACE("tile_points " + std::to_string(tile_points));
    const TilePlan plan = plan_tiles(cloud, 0.4f, 1.0f, tile_points);
    ASSERT_GE(plan.tiles.size(), 3u);
    // The halos do not reach across the whole strip: tiles are real parts of it.
    EXPECT_LT(tile_rows(cloud, plan.tiles.front(), tile_halo(plan, initial_reach(plan), 1)).size(), cloud.size() / 2);
    EXPECT_TRUE(same_bits(denoise_tiled(cloud, 0.4f, 1.0f, {.threads = tile_points == 4000 ? 1 : 2},
                                        {.tile_points = tile_points}),
                          whole));

    ScratchFile input(directory_);
    ScratchFile output(directory_);
    const RowFile source{input.fd(), static_cast<std::int64_t>(cloud.size())};
    write_rows(source, 0, cloud);
    std::set<std::string> stages;  // without the tile's prefix
    std::set<std::string> tiles;
    DenoiseOptions options;
    options.threads = tile_points == 4000 ? 1 : 2;
    options.progress = [&](const Progress& p) {
      const std::size_t at = p.stage.find(": ");
      if (at != std::string_view::npos) tiles.insert(std::string(p.stage.substr(0, at)));
      stages.insert(std::string(at == std::string_view::npos ? p.stage : p.stage.substr(at + 2)));
      return true;
    };
    denoise_out_of_core(source, {output.fd(), source.rows}, 0.4f, 1.0f, options, {.tile_points = tile_points}, directory_);
    EXPECT_TRUE(same_bits(read_all({output.fd(), source.rows}), whole));
    EXPECT_TRUE(stages.count("binning") == 1 && stages.count("reading a tile again") == 1);
    EXPECT_GE(tiles.size(), 3u);
    EXPECT_EQ(entries(), 0u);      // scratch files have no names
  }
}

// Points the first pass throws further than a halo of twice the search radius allows for
// (points above the strip, pulled down onto it) are read apart with their 50 nearest
// neighbours: the second pass's halos allow for the others' moves only, with the same bits.
TEST_F(FileTiling, PointsThrownFarAreReadApartWithTheirNeighbours) {
  std::vector<Point> cloud = strip(7);
  for (int i = 0; i < 12; ++i) {
    const float x = 40.0f + 45.0f * static_cast<float>(i);
    cloud.push_back({x, 10.0f, 4.0f * std::sin(x / 40.0f) + 4.0f + static_cast<float>(i)});
  }
  const std::vector<Point> whole = denoise(cloud, 0.4f, 1.0f);
  ScratchFile input(directory_);
  ScratchFile output(directory_);
  const RowFile source{input.fd(), static_cast<std::int64_t>(cloud.size())};
  write_rows(source, 0, cloud);
  const TilingRun run =
      denoise_out_of_core(source, {output.fd(), source.rows}, 0.4f, 1.0f, {}, {.tile_points = 2000}, directory_);
  const float allowed = initial_reach(plan_tiles(cloud, 0.4f, 1.0f, 2000)).move;
  EXPECT_GT(run.largest_move, allowed * 1.5f);
  EXPECT_LE(run.halo_move, allowed);
  EXPECT_TRUE(same_bits(read_all({output.fd(), source.rows}), whole));
  EXPECT_TRUE(same_bits(denoise_tiled(cloud, 0.4f, 1.0f, {.threads = 2}, {.tile_points = 2000}), whole));
}

// A tile whose halo must widen beyond what the memory lets it read (the strip's sparse end)
// is cut in two for that pass: the halves hold the same bits.
TEST_F(FileTiling, ATileTooLargeForItsWiderHaloIsCut) {
  const std::vector<Point> cloud = strip(7);
  ScratchFile input(directory_);
  ScratchFile output(directory_);
  const RowFile source{input.fd(), static_cast<std::int64_t>(cloud.size())};
  write_rows(source, 0, cloud);
  const TileOptions tiling{.memory_bytes = chunk_working_bytes + 2500 * tile_bytes_per_point};
  const TilingRun run = denoise_out_of_core(source, {output.fd(), source.rows}, 0.4f, 1.0f, {}, tiling, directory_);
  EXPECT_GE(run.tiles_cut, 1);
  const std::vector<Point> whole = denoise(cloud, 0.4f, 1.0f);
  EXPECT_TRUE(same_bits(denoise_tiled(cloud, 0.4f, 1.0f, {}, tiling), whole));
  EXPECT_TRUE(same_bits(read_all({output.fd(), source.rows}), whole));
}

TEST_F(FileTiling, AbsurdTileSizesGiveOneRunOverACompactCloud) {
  // Narrower than one halo: one tile, whatever the size asked (1, or one whose memory
  // budget would overflow).
  std::vector<Point> patch;
  for (const Point& p : strip(5))
    if (p[0] < 40.0f) patch.push_back(p);
  const std::vector<Point> whole = denoise(patch, 0.4f, 1.0f);
  for (const std::int64_t tile_points : {std::int64_t{1}, std::numeric_limits<std::int64_t>::max()}) {
    SCOPED_TRACE(tile_points);
    ScratchFile input(directory_);
    ScratchFile output(directory_);
    const RowFile source{input.fd(), static_cast<std::int64_t>(patch.size())};
    write_rows(source, 0, patch);
    DenoiseOptions options;
    options.progress = [](const Progress& p) { return !p.stage.starts_with("tile 2/"); };
    const TilingRun run =
        denoise_out_of_core(source, {output.fd(), source.rows}, 0.4f, 1.0f, options, {.tile_points = tile_points}, directory_);
    EXPECT_EQ(run.tiles, 1);
    EXPECT_TRUE(same_bits(read_all({output.fd(), source.rows}), whole));
  }
}

TEST_F(FileTiling, RefusesWhatTheFilterRefuses) {
  std::vector<Point> cloud = strip(5);
  const std::vector<Point> more = strip(6);
  cloud.insert(cloud.end(), more.begin(), more.end());
  ScratchFile input(directory_);
  ScratchFile output(directory_);
  const RowFile source{input.fd(), static_cast<std::int64_t>(cloud.size())};
  write_rows(source, 0, cloud);
  const auto identifier = [&](float sigma, float density, const DenoiseOptions& options) -> std::string {
    try {
      denoise_out_of_core(source, {output.fd(), source.rows}, sigma, density, options, {.tile_points = 5000}, directory_);
    } catch (const Error& e) {
      return e.identifier();
    }
    return "none";
  };
  // A density 10^6 times too small puts over 20000 points within every neighbourhood.
  EXPECT_EQ(identifier(0.0004f, 1e-6f, {}), "Vandrel:hugeNeighbourhood");
  EXPECT_EQ(identifier(0.4f, -1.0f, {}), "Vandrel:invalidDensity");
  DenoiseOptions cancelling;
  cancelling.progress = [](const Progress& p) { return p.stage != "binning"; };
  EXPECT_EQ(identifier(0.4f, 1.0f, cancelling), "Vandrel:cancelled");
}

TEST_F(FileTiling, ScratchFilesAreGoneOnceMadeAndReportShortReads) {
  ScratchFile scratch(directory_);
  EXPECT_EQ(entries(), 0u);
  const std::vector<Point> rows{{1.0f, 2.0f, 3.0f}, {4.0f, 5.0f, 6.0f}};
  write_rows({scratch.fd(), 2}, 3, rows);
  std::vector<Point> back(2);
  read_rows({scratch.fd(), 5}, 3, back);
  EXPECT_TRUE(same_bits(back, rows));
  std::vector<Point> past(3);
  EXPECT_THROW(read_rows({scratch.fd(), 5}, 3, past), Error);
  EXPECT_THROW(ScratchFile(directory_ / "no such directory"), Error);
}

TEST_F(FileTiling, CloudRegionIsACompactPartOfTheAskedSize) {
  const std::vector<Point> cloud = strip(9);
  ScratchFile input(directory_);
  const RowFile source{input.fd(), static_cast<std::int64_t>(cloud.size())};
  write_rows(source, 0, cloud);
  const std::vector<Point> region = cloud_region(source, 3000);
  EXPECT_GT(region.size(), 1500u);
  EXPECT_LT(region.size(), 6000u);
  float least = region.front()[0], most = region.front()[0];
  for (const Point& p : region) {
    ASSERT_TRUE(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]));
    least = std::min(least, p[0]);
    most = std::max(most, p[0]);
  }
  EXPECT_LT(most - least, 300.0f);  // the strip is 600 long: one part of it
  EXPECT_EQ(cloud_region(source, 100000).size(), cloud.size() - 4);  // all its finite points
}

}  // namespace
}  // namespace vandrel
