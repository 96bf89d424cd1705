#include "core/block_pass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "clouds.h"
#include "host/native_host.h"
#include "test_surfaces.h"

namespace vandrel {
namespace {

constexpr float r0 = std::bit_cast<float>(0x413FFFFFu);

struct PassResult {
  std::vector<Point> filtered;
  std::vector<float> noise;
  std::string console;
};

// Radius lists at the full radius, whatever region the pass asks for, in the order a
// narrowed list takes.
struct FullRadiusSearch : NeighbourSearch {
  std::unique_ptr<NeighbourSearch> inner;
  void find(std::int64_t begin, std::int64_t end, const Narrowing* narrowing, NeighbourLists& out) override {
    NeighbourLists full;
    inner->find(begin, end, nullptr, full);
    for (std::int64_t k = 0; k < full.size(); ++k) {
      std::vector<std::int32_t> list(full[k].begin(), full[k].end());
      std::sort(list.begin(), list.end(), [&](std::int32_t a, std::int32_t b) {
        return narrowing->grid.before(narrowing->positions[static_cast<std::size_t>(a)], a,
                                      narrowing->positions[static_cast<std::size_t>(b)], b);
      });
      out.append(list);
    }
  }
};

// The stand-alone host's search, answered a chunk at a time on the calling thread only (as
// a host whose searches are not thread-safe answers).
struct ChunkSearch : NeighbourSearch {
  std::unique_ptr<NeighbourSearch> inner;
  void find(std::int64_t begin, std::int64_t end, const Narrowing* narrowing, NeighbourLists& out) override {
    inner->find(begin, end, narrowing, out);
  }
  void find(std::span<const std::int32_t> rows, const Narrowing* narrowing, NeighbourLists& out) override {
    inner->find(rows, narrowing, out);
  }
};

// One pass over points already in cell order, with the stand-alone host's searches:
// radius lists of `searched` (the first pass's positions; `points` when empty), narrowed to
// each point's reach or, with `full_radius`, not.
PassResult run_pass(const std::vector<Point>& points, std::vector<float> noise, const BlockPassSettings& settings,
                    int threads = 1, const std::vector<Point>& searched = {}, bool full_radius = false,
                    bool by_chunks = false) {
  PassResult result;
  NativeHost host({threads, [&](std::string_view text) { result.console += text; }, {}});
  const float radius = std::sqrt((settings.max_half_width * settings.max_half_width) * 3.0f);
  const std::vector<Point>& searched_points = searched.empty() ? points : searched;
  std::unique_ptr<NeighbourSearch> neighbours = host.radius_neighbours(searched_points, radius);
  if (full_radius) {
    auto full = std::make_unique<FullRadiusSearch>();
    full->inner = std::move(neighbours);
    neighbours = std::move(full);
  }
  if (by_chunks) {
    auto chunked = std::make_unique<ChunkSearch>();
    chunked->inner = std::move(neighbours);
    neighbours = std::move(chunked);
  }
  result.filtered = block_pass(host, points, noise, *neighbours, settings);
  result.noise = std::move(noise);
  return result;
}

TEST(block_pass, IsolatedPointsStayAndTheirNoiseLevelsFollowTheLine) {
  // Spacing 100 leaves every point alone: no quadrant has the three points a plane needs,
  // so every point takes the mean of four copies of itself.
  const std::vector<Point> points = fixtures::grid(8, 8, 100.0f);
  std::vector<float> noise(points.size());
  for (std::size_t j = 0; j < noise.size(); ++j) noise[j] = 0.5f + 0.01f * static_cast<float>(j);
  for (const std::size_t first_point : {std::size_t{0}, std::size_t{5}}) {
    SCOPED_TRACE(first_point);
    const PassResult pass = run_pass(points, noise, {"pass 1", first_pass_threshold, r0, 0, first_point});
    for (std::size_t j = 0; j < points.size(); ++j) {
      for (std::size_t c = 0; c < 3; ++c) EXPECT_NEAR(pass.filtered[j][c], points[j][c], 1e-4f) << j;
    }
    // The offset comes from the level of the point first in the input, as the pass received it.
    const float offset = (-0.09697905f * noise[first_point]) / 0.4f;
    for (std::size_t j = 0; j < points.size(); ++j) {
      EXPECT_EQ(pass.noise[j], (noise[j] * 1.0805545f + offset) * 0.5333f) << j;
    }
    EXPECT_EQ(pass.console, "");  // pass lines are the pipeline's
  }
}

TEST(block_pass, ResultsDoNotDependOnTheChunkSizeNorTheThreadCount) {
  const std::vector<Point> cloud = fixtures::rows_of(fixtures::noisy_plane(1500, 38.0f, 0.3f, 13));
  const std::vector<Point> points = fixtures::sorted_by_cell(cloud, block_cell_side);
  const std::vector<float> noise(points.size(), 0.3f);
  const PassResult reference = run_pass(points, noise, {"pass 1", first_pass_threshold, r0, 0, 3}, 1);
  struct Case {
    std::int64_t chunk;
    int threads;
    bool by_chunks;  // lists found a chunk at a time on the calling thread, not by each thread
  };
  for (const Case c : {Case{1, 1, false}, Case{97, 2, false}, Case{1000, 4, false}, Case{0, 4, false},
                       Case{5000, 2, false}, Case{0, 1, true}, Case{97, 3, true}}) {
    SCOPED_TRACE(testing::Message() << "chunk " << c.chunk << ", threads " << c.threads << ", by chunks " << c.by_chunks);
    const PassResult pass =
        run_pass(points, noise, {"pass 1", first_pass_threshold, r0, c.chunk, 3}, c.threads, {}, false, c.by_chunks);
    EXPECT_EQ(std::memcmp(pass.filtered.data(), reference.filtered.data(), points.size() * sizeof(Point)), 0);
    EXPECT_EQ(std::memcmp(pass.noise.data(), reference.noise.data(), points.size() * sizeof(float)), 0);
  }
  // The pass does filter: the points move towards the plane z = 0.
  double before = 0, after = 0;
  for (std::size_t j = 0; j < points.size(); ++j) {
    before += std::fabs(points[j][2]);
    after += std::fabs(reference.filtered[j][2]);
  }
  EXPECT_LT(after, 0.6 * before);
}

TEST(block_pass, NarrowingTheRadiusListsToEachPointsReachChangesNothing) {
  // sigma 3 gives r0 = 15: the boxes reach about 20.8 of the radius 26, and the lists are
  // narrowed. The first pass estimates from the searched positions, the second from the
  // first's output.
  const float sigma = 3.0f;
  const float max_half_width = 5.0f * sigma;
  const std::vector<Point> cloud = fixtures::rows_of(fixtures::noisy_plane(2500, 80.0f, sigma, 61));
  const std::vector<Point> points = fixtures::sorted_by_cell(cloud, block_cell_side);
  const std::vector<float> noise(points.size(), sigma);
  const BlockPassSettings first{"pass 1", first_pass_threshold, max_half_width, 0, 0};
  const PassResult narrowed = run_pass(points, noise, first);
  EXPECT_EQ(std::memcmp(narrowed.filtered.data(), run_pass(points, noise, first, 1, {}, true).filtered.data(),
                        points.size() * sizeof(Point)), 0);

  const BlockPassSettings second{"pass 2", second_pass_threshold, max_half_width, 0, 0};
  const PassResult a = run_pass(narrowed.filtered, narrowed.noise, second, 1, points);
  const PassResult b = run_pass(narrowed.filtered, narrowed.noise, second, 1, points, true);
  std::size_t differing = 0;
  for (std::size_t k = 0; k < points.size(); ++k) differing += std::memcmp(&a.filtered[k], &b.filtered[k], sizeof(Point)) != 0;
  double largest = 0;
  for (std::size_t k = 0; k < points.size(); ++k) {
    for (std::size_t c = 0; c < 3; ++c) largest = std::max(largest, std::fabs(static_cast<double>(a.filtered[k][c]) - b.filtered[k][c]));
  }
  EXPECT_EQ(differing, 0u) << "of " << points.size() << " points, by up to " << largest;

  // Told how far the points lie from where they were searched (there alternately `shift`
  // above and below the plane), the search skips the radius test only where a region lies
  // within the radius however far its points were searched: the bits of the full radius,
  // whether it skips (0.5) or not (10, where the corners of a region reach beyond it).
  for (const float shift : {0.5f, 10.0f}) {
    std::vector<Point> searched = points;
    for (std::size_t k = 0; k < searched.size(); ++k) searched[k][2] += k % 2 == 0 ? shift : -shift;
    BlockPassSettings told = second;
    told.moved = shift * (1 + 1e-6);
    const PassResult c = run_pass(points, narrowed.noise, told, 1, searched);
    const PassResult d = run_pass(points, narrowed.noise, second, 1, searched, true);
    EXPECT_EQ(std::memcmp(c.filtered.data(), d.filtered.data(), points.size() * sizeof(Point)), 0) << shift;
  }
}

}  // namespace
}  // namespace vandrel
