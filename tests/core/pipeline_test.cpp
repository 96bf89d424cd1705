#include "core/pipeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "vandrel/vandrel.h"
#include "clouds.h"
#include "host/native_host.h"
#include "test_surfaces.h"

namespace vandrel {
namespace {

using fixtures::rows_of;

// The stand-alone host, recording its console and what the filter asks of its searches.
class RecordingHost : public NativeHost {
 public:
  explicit RecordingHost(int threads = 1) : NativeHost({threads, [this](std::string_view text) { console += text; }, {}}) {}
  std::string console;
  std::vector<float> radii;
  int nearest_calls = 0;

  std::unique_ptr<NeighbourSearch> radius_neighbours(std::span<const Point> points, float radius) override {
    radii.push_back(radius);
    return NativeHost::radius_neighbours(points, radius);
  }
  std::unique_ptr<NeighbourSearch> nearest_neighbours(std::span<const Point> points, std::int32_t k, const CellGrid* grid) override {
    ++nearest_calls;
    return NativeHost::nearest_neighbours(points, k, grid);
  }
};

std::vector<Point> random_cloud(std::int32_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-3.0f, 3.0f);
  std::vector<Point> points(static_cast<std::size_t>(n));
  for (Point& p : points) p = {u(rng), u(rng), u(rng)};
  return points;
}

std::string pass_lines(int blocks) {
  std::string s;
  for (int k = 0; k < blocks; ++k) {
    s += "////////////////////// itr = 1 done ////////////////////// \n";
    s += "////////////////////// itr = 2 done ////////////////////// \n";
  }
  return s;
}

DenoiseOptions options(int threads, std::int64_t chunk_points = 0, std::string* console = nullptr) {
  DenoiseOptions o;
  o.threads = threads;
  o.chunk_points = chunk_points;
  if (console) o.console = [console](std::string_view text) { *console += text; };
  return o;
}

bool same_bits(const std::vector<Point>& a, const std::vector<Point>& b) {
  // memcmp must not see the null data() of an empty vector.
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Point)) == 0);
}

TEST(filter_cloud, SmallBlocksArePrunedOrPassedThroughUnfiltered) {
  struct Case {
    std::int32_t points;
    int blocks;          // blocks that print pass lines
    int nearest_calls;   // two for a filtered block
  };
  for (const Case c : {Case{0, 0, 0}, Case{1, 0, 0}, Case{3, 0, 0}, Case{4, 1, 0}, Case{49, 1, 0}, Case{50, 1, 2}}) {
    SCOPED_TRACE(c.points);
    RecordingHost host;
    const std::vector<Point> cloud = random_cloud(c.points, 3);
    const std::vector<Point> out = filter_cloud(host, cloud, 0.1f, 4.0f);
    EXPECT_EQ(host.console, pass_lines(c.blocks));
    EXPECT_EQ(host.nearest_calls, c.nearest_calls);
    EXPECT_EQ(host.radii.size(), c.blocks == 0 ? 0u : 1u);  // one radius search serves both passes
    ASSERT_EQ(out.size(), cloud.size());
    if (c.blocks == 0) {
      EXPECT_TRUE(same_bits(out, cloud));
    }
    if (c.nearest_calls > 0) continue;
    // Unfiltered points come back up to the rounding of the box weight, multiplied and
    // divided out (scaling by sqrt(4) = 2 is exact).
    for (std::size_t k = 0; k < cloud.size(); ++k) {
      for (std::size_t a = 0; a < 3; ++a) EXPECT_NEAR(out[k][a], cloud[k][a], 1e-5f * (1 + std::fabs(cloud[k][a])));
    }
  }
}

TEST(filter_cloud, PointsNoBlockCoversKeepTheirInputBits) {
  const float nan = std::nanf("");
  std::vector<Point> plane = rows_of(fixtures::noisy_plane(300, 20.0f, 0.2f, 7));
  plane[0] = {nan, 1, 2};
  plane[150] = {3, 4, nan};
  plane[299] = {nan, nan, nan};
  struct Case {
    const char* what;
    std::vector<Point> cloud;
  };
  const Case cases[] = {
      {"three points", {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}},
      {"all at the origin", {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}}},
      {"a NaN row among few", {{1, 2, 3}, {nan, 1, 1}, {4, 5, 6}, {2, 2, 2}}},
      {"NaN rows in a filtered cloud", plane},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingHost host;
    const std::vector<Point> out = filter_cloud(host, c.cloud, 0.2f, 1.0f);
    ASSERT_EQ(out.size(), c.cloud.size());
    for (std::size_t k = 0; k < out.size(); ++k) {
      const Point& p = c.cloud[k];
      if (std::isnan(p[0]) || std::isnan(p[1]) || std::isnan(p[2])) {
        EXPECT_EQ(std::memcmp(&out[k], &p, sizeof(Point)), 0) << k;
      } else {
        for (std::size_t a = 0; a < 3; ++a) EXPECT_TRUE(std::isfinite(out[k][a])) << k;
      }
    }
  }
}

TEST(filter_cloud, ARowWithAnInfiniteCoordinateLeavesTheOthersFiltered) {
  std::vector<Point> cloud = rows_of(fixtures::noisy_plane(500, 25.0f, 0.3f, 3));
  cloud[7][0] = INFINITY;
  RecordingHost host;
  const std::vector<Point> out = filter_cloud(host, cloud, 0.3f, 1.0f);
  EXPECT_EQ(std::memcmp(&out[7], &cloud[7], sizeof(Point)), 0);
  std::size_t moved = 0;
  for (std::size_t k = 0; k < out.size(); ++k) moved += out[k] != cloud[k];
  EXPECT_EQ(moved, out.size() - 1);
  EXPECT_EQ(host.nearest_calls, 2);
}

TEST(filter_cloud, CopiesOfOnePointAreABlockTooSmallToFilter) {
  RecordingHost host;
  const std::vector<Point> cloud(5, Point{1, 2, 3});
  EXPECT_EQ(filter_cloud(host, cloud, 0.01f, 1.0f), cloud);
  EXPECT_EQ(host.console, pass_lines(1));
}

TEST(denoise, RejectsArgumentsItCannotFilter) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::nanf("");
  struct Case {
    float sigma, density;
    const char* id;
  };
  const Case cases[] = {
      {-0.1f, 1.0f, "Vandrel:invalidSigma"},   {nan, 1.0f, "Vandrel:invalidSigma"},
      {inf, 1.0f, "Vandrel:invalidSigma"},     {0.1f, 0.0f, "Vandrel:invalidDensity"},
      {0.1f, -1.0f, "Vandrel:invalidDensity"}, {0.1f, nan, "Vandrel:invalidDensity"},
      {0.1f, inf, "Vandrel:invalidDensity"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    std::string console;
    try {
      denoise(random_cloud(60, 2), c.sigma, c.density, options(0, 0, &console));
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), c.id);
    }
    EXPECT_EQ(console, "");
  }
}

TEST(filter_cloud, RefusesACloudSoFarOutThatSinglePrecisionCannotResolveItsSpacing) {
  // A plane of points about 1 apart at z = 1e20 (steps of 8.8e12 there): refused naming
  // the density, whatever the scaling.
  for (const float density : {1.0f, 1.0e-10f}) {
    SCOPED_TRACE(density);
    std::vector<Point> cloud = rows_of(fixtures::noisy_plane(400, 20.0f, 0.1f, 5));
    for (Point& p : cloud) p[2] = 1.0e20f / std::sqrt(density);
    RecordingHost host;
    try {
      filter_cloud(host, cloud, 0.1f, density);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), "Vandrel:invalidDensity");
      EXPECT_NE(std::string(e.what()).find("point spacings from the origin"), std::string::npos) << e.what();
    }
  }
}

TEST(denoise, ANoiseFreeCloudKeepsItsPositions) {
  const std::vector<Point> cloud = rows_of(fixtures::noisy_plane(900, 30.0f, 0.3f, 41));
  EXPECT_EQ(denoise(cloud, 0.0f, 1.0f), cloud);  // bit for bit
}

TEST(denoise, DenoisesAPlaneAndASphere) {
  struct Case {
    const char* what;
    std::vector<float> cloud;
    double (*distance)(const std::vector<float>&);
    double max_ratio;
  };
  const float sigma = 0.4f;
  const Case cases[] = {
      {"plane", fixtures::noisy_plane(4900, 70.0f, sigma, 21), &fixtures::mean_distance_to_plane, 0.3},
      {"sphere", fixtures::noisy_sphere(5000, 20.0f, sigma, 22),
       [](const std::vector<float>& p) { return fixtures::mean_distance_to_sphere(p, 20.0); }, 0.45},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<Point> out = denoise(rows_of(c.cloud), sigma, 1.0f);
    const std::size_t n = out.size();
    std::vector<float> xyz(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t a = 0; a < 3; ++a) xyz[a * n + i] = out[i][a];
    }
    const double before = c.distance(c.cloud);
    const double after = c.distance(xyz);
    std::cout << c.what << ": mean distance to the surface " << before << " -> " << after << "\n";
    EXPECT_LT(after, c.max_ratio * before);
  }
}

TEST(denoise, PassAndProgressLines) {
  // 12000 isolated points: a progress line every 5000 points in each pass.
  std::string console;
  const std::vector<Point> cloud = fixtures::grid(120, 100, 100.0f);
  denoise(cloud, 0.1f, 1.0f, options(2, 0, &console));
  const std::string progress = "41.67% of points processed\n83.33% of points processed\n";
  EXPECT_EQ(console, progress + "////////////////////// itr = 1 done ////////////////////// \n" + progress +
                         "////////////////////// itr = 2 done ////////////////////// \n");
}

TEST(denoise, ProgressReachesTheTotalAndFalseCancels) {
  const std::vector<Point> cloud = rows_of(fixtures::noisy_plane(800, 28.0f, 0.2f, 5));
  std::vector<Progress> reports;
  DenoiseOptions recording = options(0);
  recording.progress = [&](const Progress& p) {
    reports.push_back(p);
    return true;
  };
  denoise(cloud, 0.2f, 1.0f, recording);
  for (const char* stage : {"pass 1", "pass 2", "merge"}) {
    SCOPED_TRACE(stage);
    std::int64_t done = -1;
    for (const Progress& p : reports) {
      if (p.stage != stage) continue;
      EXPECT_EQ(p.total, 800);
      EXPECT_GE(p.done, done);
      done = p.done;
    }
    EXPECT_EQ(done, 800);
  }

  std::string console;
  try {
    DenoiseOptions cancelling = options(0, 0, &console);
    cancelling.progress = [](const Progress& p) { return p.stage != "pass 2"; };
    denoise(cloud, 0.2f, 1.0f, cancelling);
    ADD_FAILURE() << "not cancelled";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:cancelled");
  }
  EXPECT_EQ(console, "////////////////////// itr = 1 done ////////////////////// \n");
}

}  // namespace
}  // namespace vandrel
