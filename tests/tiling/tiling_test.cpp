#include "tiling/tiling.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "core/neighbourhood_check.h"
#include "core/pipeline.h"
#include "host/native_host.h"
#include "vandrel/error.h"
#include "vandrel/outputs.h"
#include "vandrel/vandrel.h"
#include "tiling/far_movers.h"
#include "tiling/strip_cloud.h"

namespace vandrel {
namespace {

using testing::same_bits;
using testing::strip;

TEST(DenoiseTiled, AWiderNoiseBandGivesTheUntiledBits) {
  // 5 sigma sqrt(density) above 12: r0, the search radius and the halo grow with sigma.
  std::vector<Point> cloud = strip(11);
  const float sigma = 3.0f;
  const std::vector<Point> whole = denoise(cloud, sigma, 1.0f);
  const std::vector<Point> tiled = denoise_tiled(cloud, sigma, 1.0f, {}, {.tile_points = 2000});
  EXPECT_GE(plan_tiles(cloud, sigma, 1.0f, 2000).tiles.size(), 4u);
  EXPECT_TRUE(same_bits(tiled, whole));
  // The outputs too: noise levels as the first pass leaves them, normals fitted tile by tile
  // with their signs spread over the whole strip.
  OutputRequest request;
  request.normals = true;
  request.noise = true;
  DenoiseOptions two_threads;
  two_threads.threads = 2;
  const DenoiseResult whole_outputs = denoise_with_outputs(cloud, sigma, 1.0f, request);
  const DenoiseResult tiled_outputs =
      denoise_tiled_with_outputs(cloud, sigma, 1.0f, request, two_threads, {.tile_points = 2000});
  EXPECT_TRUE(same_bits(tiled_outputs.points, whole));
  EXPECT_TRUE(same_bits(tiled_outputs.normals, whole_outputs.normals));
  ASSERT_EQ(tiled_outputs.curvature.size(), cloud.size());
  EXPECT_EQ(std::memcmp(tiled_outputs.curvature.data(), whole_outputs.curvature.data(), cloud.size() * sizeof(float)), 0);
  ASSERT_EQ(tiled_outputs.noise.size(), cloud.size());
  EXPECT_EQ(std::memcmp(tiled_outputs.noise.data(), whole_outputs.noise.data(), cloud.size() * sizeof(float)), 0);
  // Outliers: measured tile by tile over the first pass of every tile, then left out.
  request.outliers = true;
  const DenoiseResult whole_outliers = denoise_with_outputs(cloud, sigma, 1.0f, request);
  const DenoiseResult tiled_outliers = denoise_tiled_with_outputs(cloud, sigma, 1.0f, request, {}, {.tile_points = 2000});
  EXPECT_GT(std::count(whole_outliers.outliers.begin(), whole_outliers.outliers.end(), 1), 0);
  EXPECT_EQ(tiled_outliers.outliers, whole_outliers.outliers);
  EXPECT_TRUE(same_bits(tiled_outliers.points, whole_outliers.points));
  EXPECT_TRUE(same_bits(tiled_outliers.normals, whole_outliers.normals));
}

TEST(FilterTile, AHaloOfHalfASearchRadiusChangesOwnedPoints) {
  // The halo is needed: with half a search radius, owned points near the tile's faces come
  // out of the first pass otherwise than in the untiled run (which a comparison of bits must see).
  const std::vector<Point> cloud = strip(7);
  NativeHost host(NativeHostOptions{0, [](std::string_view) {}, {}});
  const FirstPass whole = filter_first_pass(host, cloud, 0.4f, 1.0f);
  const TilePlan plan = plan_tiles(cloud, 0.4f, 1.0f, 4000);
  const TileBox& box = plan.tiles[1];
  std::vector<std::uint8_t> owned;
  const std::vector<std::int64_t> rows = tile_rows(cloud, box, plan.search_radius / 2.0 / plan.scale, &owned);
  std::vector<Point> tile;
  for (const std::int64_t row : rows) tile.push_back(cloud[static_cast<std::size_t>(row)]);
  const TileResult result = filter_tile(1, tile, {}, box, plan, 0.4f, 1.0f, {std::numeric_limits<float>::infinity(), 0.0f}, {});
  ASSERT_TRUE(result.complete);
  std::size_t differing = 0;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const Point& expected = whole.positions[static_cast<std::size_t>(rows[k])];
    differing += owned[k] != 0 && std::memcmp(&result.points[k], &expected, sizeof(Point)) != 0;
  }
  EXPECT_GT(differing, 0u);
}

TEST(FilterTile, AsksForALargerReachWhereNeighboursAreSparse) {
  const std::vector<Point> cloud = strip(7);
  const TilePlan plan = plan_tiles(cloud, 0.4f, 1.0f, 1500);
  // The tile owning the sparse patch: its points' 50th neighbours lie beyond the first reach.
  const Point sparse_point = cloud.back();
  const TileBox* owner = nullptr;
  for (const TileBox& box : plan.tiles) {
    if (box.holds(sparse_point)) owner = &box;
  }
  ASSERT_NE(owner, nullptr);
  const std::vector<std::int64_t> rows = tile_rows(cloud, *owner, tile_halo(plan, initial_reach(plan), 1));
  std::vector<Point> tile;
  for (const std::int64_t row : rows) tile.push_back(cloud[static_cast<std::size_t>(row)]);
  const TileReach reach = initial_reach(plan);
  const TileResult result = filter_tile(1, tile, {}, *owner, plan, 0.4f, 1.0f, reach, {});
  EXPECT_FALSE(result.complete);
  EXPECT_GT(result.needed.neighbours, reach.neighbours);
  EXPECT_TRUE(result.points.empty());
  // The pass stops after the chunk that found it out: only what it estimated counts as work.
  const TileReach unchecked{std::numeric_limits<float>::infinity(), 0.0f};
  const std::int64_t whole = filter_tile(1, tile, {}, *owner, plan, 0.4f, 1.0f, unchecked, {}).estimated;
  const std::int64_t stopped = filter_tile(1, tile, {}, *owner, plan, 0.4f, 1.0f, reach, {.chunk_points = 256}).estimated;
  EXPECT_GT(stopped, 0);
  EXPECT_LT(stopped, whole);
}

TEST(FilterTile, EstimatesOnlyWhatItsOwnPointsNeed) {
  // Each pass estimates the points within the search radius of the tile's box: fewer than
  // it reads, and about what filtering_factor foresees.
  const std::vector<Point> cloud = strip(7);
  const TilePlan plan = plan_tiles(cloud, 0.4f, 1.0f, 4000);
  ASSERT_GE(plan.tiles.size(), 3u);
  std::int64_t estimated = 0;
  std::int64_t read = 0;
  for (const TileBox& box : plan.tiles) {
    const std::vector<std::int64_t> rows = tile_rows(cloud, box, tile_halo(plan, initial_reach(plan), 1));
    std::vector<Point> tile;
    for (const std::int64_t row : rows) tile.push_back(cloud[static_cast<std::size_t>(row)]);
    const TileReach unchecked{std::numeric_limits<float>::infinity(), 0.0f};
    estimated += filter_tile(1, tile, {}, box, plan, 0.4f, 1.0f, unchecked, {}).estimated;
    read += static_cast<std::int64_t>(tile.size());
  }
  const double finite_points = static_cast<double>(std::count_if(cloud.begin(), cloud.end(), [](const Point& p) { return std::isfinite(p[0]); }));
  EXPECT_LT(estimated, read);
  EXPECT_DOUBLE_EQ(filtering_factor(plan, cloud), static_cast<double>(estimated) / finite_points);
}

TEST(FarMovers, ReadsEachMoversFiftyNearestAndLeavesTiesToTheHalo) {
  // 400 first-pass positions (scaled), searched in two tiles; their input points elsewhere.
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> coordinate(0.0f, 10.0f);
  std::vector<Point> first;
  std::vector<Point> input;
  std::vector<std::int64_t> rows;
  for (int i = 0; i < 400; ++i) {
    first.push_back({coordinate(rng), coordinate(rng), coordinate(rng)});
    input.push_back({first.back()[0] + 100.0f, first.back()[1], first.back()[2]});
    rows.push_back(1000 + i);
  }
  // Moves above 5 are collected, two at most: of 10, 20 and 30, the 10 is left to the halo.
  FarMovers far(5.0f, 2);
  for (std::size_t i = 0; i < first.size(); ++i) {
    const float move = i == 7 ? 30.0f : i == 8 ? 20.0f : i == 9 ? 10.0f : 1.0f;
    far.offer(rows[i], move, input[i], first[i]);
  }
  EXPECT_EQ(far.rest(), 10.0f);
  far.search(std::span(rows).first(150), std::span(input).first(150), std::span(first).first(150));
  far.search(std::span(rows).subspan(150), std::span(input).subspan(150), std::span(first).subspan(150));
  const FarMovers::Extra extra = far.extra();
  std::set<std::int64_t> expected;
  for (const std::size_t mover : {std::size_t{7}, std::size_t{8}}) {
    std::vector<std::pair<double, std::int64_t>> by_distance;
    for (std::size_t i = 0; i < first.size(); ++i) {
      double squared = 0.0;
      for (std::size_t c = 0; c < 3; ++c) squared += std::pow(double(first[i][c]) - double(first[mover][c]), 2);
      by_distance.push_back({squared, rows[i]});
    }
    std::sort(by_distance.begin(), by_distance.end());
    for (std::size_t k = 0; k < 50; ++k) expected.insert(by_distance[k].second);
  }
  EXPECT_EQ(std::set<std::int64_t>(extra.rows.begin(), extra.rows.end()), expected);
  ASSERT_TRUE(std::is_sorted(extra.rows.begin(), extra.rows.end()));
  for (std::size_t k = 0; k < extra.rows.size(); ++k) {
    const auto i = static_cast<std::size_t>(extra.rows[k] - 1000);
    EXPECT_EQ(extra.points[k], input[i]);
    EXPECT_EQ(extra.frames_known[k], i == 7 || i == 8);
  }

  // On a lattice of points taken 16 times, the 50th neighbour ties with the 64th: which of
  // them the filter takes is its own business, so the mover is left to the halo.
  std::vector<Point> lattice;
  std::vector<std::int64_t> lattice_rows;
  for (int i = 0; i < 64 * 16; ++i) {
    const int at = i % 64;
    lattice.push_back({float(at % 4), float(at / 4 % 4), float(at / 16)});
    lattice_rows.push_back(i);
  }
  FarMovers tied(5.0f, 2);
  for (std::size_t i = 0; i < lattice.size(); ++i) tied.offer(lattice_rows[i], i == 21 ? 8.0f : 0.5f, lattice[i], lattice[i]);
  tied.search(lattice_rows, lattice, lattice);
  EXPECT_TRUE(tied.extra().rows.empty());
  EXPECT_EQ(tied.rest(), 8.0f);
}

TEST(DenoiseTiled, SaysWhatItsTilesCostAndWhatMemoryWouldCostLess) {
  const std::vector<Point> cloud = strip(7);
  TilingCost said;
  bool said_before_tiles = false;
  bool tiles_ran = false;
  DenoiseOptions options;
  options.progress = [&](const Progress& p) {
    tiles_ran = tiles_ran || p.stage.starts_with("tile ");
    return true;
  };
  TileOptions tiling{.tile_points = 1500};
  tiling.planned = [&](const TilingCost& cost) {
    said = cost;
    said_before_tiles = !tiles_ran;
  };
  denoise_tiled(cloud, 0.4f, 1.0f, options, tiling);
  EXPECT_TRUE(said_before_tiles);
  EXPECT_EQ(said.tiles, static_cast<std::int64_t>(plan_tiles(cloud, 0.4f, 1.0f, 1500).tiles.size()));
  ASSERT_GT(said.factor, cheap_factor);
  // The memory it names plans tiles that filter each point at most 1.5 times a pass.
  ASSERT_GT(said.memory_for_cheap, 0);
  const std::int64_t read = tile_points_for_memory(said.memory_for_cheap);
  EXPECT_LE(filtering_factor(plan_tiles(cloud, 0.4f, 1.0f, read, read), cloud), cheap_factor);
}

TEST(PlanTiles, TilesPartitionTheFinitePoints) {
  const std::vector<Point> cloud = strip(3);
  for (const std::int64_t tile_points : {std::int64_t{1000}, std::int64_t{7000}}) {
    SCOPED_TRACE(tile_points);
    const TilePlan plan = plan_tiles(cloud, 0.4f, 1.0f, tile_points);
    std::vector<int> owners(cloud.size(), 0);
    for (const TileBox& box : plan.tiles) {
      std::vector<std::uint8_t> owned;
      const std::vector<std::int64_t> rows = tile_rows(cloud, box, 0.0, &owned);
      std::int64_t count = 0;
      for (std::size_t k = 0; k < rows.size(); ++k) {
        owners[static_cast<std::size_t>(rows[k])] += owned[k];
        count += owned[k];
      }
      EXPECT_LE(count, tile_points);
    }
    for (std::size_t i = 0; i < cloud.size(); ++i) {
      const bool finite = std::isfinite(cloud[i][0]);
      EXPECT_EQ(owners[i], finite ? 1 : 0) << "row " << i;
    }
  }
}

TEST(PlanTiles, ReadsWithinTheLimitOnFewerTilesThanHalving) {
  // Two halves of the strip read 2 x 6840 points with their halos; halving again would make
  // four tiles. Three, cut where their reads are about equal, read within 6000 each.
  const std::vector<Point> cloud = strip(3);
  const TilePlan plan = plan_tiles(cloud, 0.4f, 1.0f, 6000, 6000);
  ASSERT_EQ(plan.tiles.size(), 3u);
  const double halo = tile_halo(plan, initial_reach(plan), 1);
  std::int64_t owned_total = 0;
  for (const TileBox& box : plan.tiles) {
    std::vector<std::uint8_t> owned;
    EXPECT_LE(tile_rows(cloud, box, halo, &owned).size(), 6000u);
    owned_total += std::count(owned.begin(), owned.end(), 1);
  }
  EXPECT_EQ(owned_total, std::count_if(cloud.begin(), cloud.end(), [](const Point& p) { return std::isfinite(p[0]); }));
}

TEST(DenoiseTiled, ACloudThatFitsTheBlockMemoryIsFilteredOnce) {
  const std::vector<Point> cloud = strip(5);
  TileOptions tiling{.tile_points = 0, .memory_bytes = chunk_working_bytes + 3000 * tile_bytes_per_point,
                     .block_memory_bytes = chunk_working_bytes + static_cast<std::int64_t>(cloud.size()) * block_bytes_per_point};
  bool planned = false;
  tiling.planned = [&](const TilingCost&) { planned = true; };
  EXPECT_TRUE(same_bits(denoise_tiled(cloud, 0.4f, 1.0f, {}, tiling), denoise(cloud, 0.4f, 1.0f)));
  EXPECT_FALSE(planned);
  tiling.block_memory_bytes -= block_bytes_per_point;  // one point too many: tiles
  denoise_tiled(cloud, 0.4f, 1.0f, {}, tiling);
  EXPECT_TRUE(planned);
}

TEST(PlanTiles, TilesSmallerThanTheirHaloAreNotPlanned) {
  // One point a tile is raised to the halo's width in point spacings: not a tile a point,
  // but still tiles along the strip.
  const std::vector<Point> cloud = strip(3);
  const TilePlan plan = plan_tiles(cloud, 0.4f, 1.0f, 1);
  EXPECT_GE(plan.tiles.size(), 3u);
  EXPECT_LE(plan.tiles.size(), cloud.size() / 20);

  // A patch narrower than one halo: every tile would read all of it, so it is filtered in
  // one run (no tile is reported), with the same bits.
  std::vector<Point> patch;
  for (const Point& p : cloud)
    if (p[0] < 40.0f) patch.push_back(p);
  const std::vector<Point> whole = denoise(patch, 0.4f, 1.0f);
  DenoiseOptions options;
  options.progress = [](const Progress& p) { return !p.stage.starts_with("tile "); };
  for (const std::int64_t tile_points : {std::int64_t{1}, std::int64_t{200}, std::numeric_limits<std::int64_t>::max()}) {
    SCOPED_TRACE(tile_points);
    EXPECT_TRUE(same_bits(denoise_tiled(patch, 0.4f, 1.0f, options, {.tile_points = tile_points}), whole));
  }
}

TEST(PlanTiles, CoincidentPointsStayInOneTile) {
  std::vector<Point> cloud(300, Point{1.0f, 2.0f, 3.0f});
  cloud.push_back({5.0f, 2.0f, 3.0f});
  const TilePlan plan = plan_tiles(cloud, 0.1f, 1.0f, 100);
  EXPECT_EQ(plan.tiles.size(), 2u);
  EXPECT_THROW(plan_tiles(cloud, 0.1f, 1.0f, 0), Error);
}

TEST(CheckNeighbourhoodSize, RefusesADensityInTheWrongUnits) {
  std::vector<Point> cloud = strip(5);
  const std::vector<Point> more = strip(6);
  cloud.insert(cloud.end(), more.begin(), more.end());
  // A density 10^6 times too small puts the whole strip, over 20000 points, within every neighbourhood.
  const TilePlan wrong = plan_tiles(cloud, 0.0004f, 1e-6f, 5000);
  try {
    check_neighbourhood_size(cloud, wrong.scale, 2);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:hugeNeighbourhood");
  }
  EXPECT_NO_THROW(check_neighbourhood_size(cloud, plan_tiles(cloud, 0.4f, 1.0f, 5000).scale, 2));
}

}  // namespace
// A tile whose read passes the limit is cut while it owns a 32nd of what it reads: the
// strip's tiles then read at most 2000 points (cut only while they owned an eighth of the
// limit, some read 2148). Below the least any tile reads with its halo however it is cut,
// the run is refused before the tiles start, naming the memory that holds them.
TEST(PlanTiles, KeepsTheReadLimitOrRefusesIt) {
  const std::vector<Point> cloud = strip(3);
  const auto largest_read = [&](const TilePlan& plan) {
    const double halo = tile_halo(plan, initial_reach(plan), 1);
    std::size_t most = 0;
    for (const TileBox& box : plan.tiles) most = std::max(most, tile_rows(cloud, box, halo).size());
    return static_cast<std::int64_t>(most);
  };
  const TilePlan kept = plan_tiles(cloud, 0.4f, 1.0f, 2000, 2000);
  EXPECT_LE(largest_read(kept), 2000);
  EXPECT_EQ(kept.overfull_read, 0);

  const TilePlan overfull = plan_tiles(cloud, 0.4f, 1.0f, 1500, 1500);
  EXPECT_EQ(overfull.overfull_read, largest_read(overfull));
  EXPECT_GT(overfull.overfull_read, 1500);
  TilingCost said;
  const TileOptions tiling{.memory_bytes = chunk_working_bytes + 1500 * tile_bytes_per_point,
                           .planned = [&](const TilingCost& cost) { said = cost; }};
  try {
    denoise_tiled(cloud, 0.4f, 1.0f, {}, tiling);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:memoryLimit");
  }
  ASSERT_GT(said.memory_needed, 0);
  const std::int64_t named = tile_points_for_memory(said.memory_needed);
  EXPECT_EQ(plan_tiles(cloud, 0.4f, 1.0f, named, named).overfull_read, 0);
}

}  // namespace vandrel
