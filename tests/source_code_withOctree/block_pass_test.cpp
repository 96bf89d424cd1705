#include "source_code_withOctree/SquareNeighNormal_ICI_Denoising_recur_m2c_Mar06_2_temp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "filter_runner.h"
#include "host/kd_search.h"
#include "api/error.h"
#include "test_host.h"
#include "test_surfaces.h"

namespace vandrel {
namespace {

using fixtures::CapturingHost;
using fixtures::run_filter;

std::int64_t count_of(const std::string& text, const std::string& what) {
  std::int64_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// A columns x rows grid in the plane z = 0 with the given spacing; column-major.
std::vector<float> grid(std::int32_t columns, std::int32_t rows, float spacing) {
  const std::int32_t n = columns * rows;
  std::vector<float> xyz(static_cast<std::size_t>(3 * n), 0.0f);
  for (std::int32_t i = 0; i < n; ++i) {
    xyz[static_cast<std::size_t>(i)] = static_cast<float>(i % columns) * spacing;
    xyz[static_cast<std::size_t>(n + i)] = static_cast<float>(i / columns) * spacing;
  }
  return xyz;
}

// One block pass called directly, with neighbour lists from an exact radius search.
struct BlockPass {
  CapturingHost host;
  std::vector<float> output;
  std::vector<float> noise;

  void run(const std::vector<float>& xyz, std::vector<float> b, float radius, float gamma, float r0) {
    const auto n = static_cast<std::int32_t>(xyz.size() / 3);
    Context ctx(host);
    CleanupScope scope(ctx);
    emxArray_real32_T* X = nullptr;
    emxArray_real32_T* levels = nullptr;
    emxArray_real32_T* Y = nullptr;
    emxArray_cell_wrap_3* holder = nullptr;
    emxInit_real32_T(ctx, &X, 2, true);
    emxInit_real32_T(ctx, &levels, 1, true);
    emxInit_real32_T(ctx, &Y, 2, true);
    emxInit_cell_wrap_3(ctx, &holder, 1, true);
    X->size[0] = n;
    X->size[1] = 3;
    emxEnsureCapacity_real32_T(ctx, X, 0);
    std::copy(xyz.begin(), xyz.end(), X->data);
    levels->size[0] = n;
    emxEnsureCapacity_real32_T(ctx, levels, 0);
    std::copy(b.begin(), b.end(), levels->data);
    holder->size[0] = 1;
    emxEnsureCapacity_cell_wrap_3(ctx, holder, 0);
    emxArray_cell_wrap_2* lists = holder->data[0].f1;
    lists->size[0] = n;
    emxEnsureCapacity_cell_wrap_2(ctx, lists, 0);
    const KdSearch search(xyz.data(), n);
    for (std::int32_t i = 0; i < n; ++i) {
      const float q[3] = {xyz[static_cast<std::size_t>(i)], xyz[static_cast<std::size_t>(n + i)],
                          xyz[static_cast<std::size_t>(2 * n + i)]};
      const std::vector<std::int32_t> rows = search.within(q, radius);
      emxArray_real_T* row = lists->data[i].f1;
      row->size[0] = 1;
      row->size[1] = static_cast<std::int32_t>(rows.size());
      emxEnsureCapacity_real_T(ctx, row, 0);
      for (std::size_t k = 0; k < rows.size(); ++k) row->data[k] = rows[k] + 1.0;
    }
    SquareNeighNormal_ICI_Denoising_recur_m2c_Mar06_2_temp(ctx, X, levels, lists, Y, gamma, r0);
    output.assign(Y->data, Y->data + 3 * n);
    noise.assign(levels->data, levels->data + n);
    emxFree_cell_wrap_3(ctx, &holder);
    emxFree_real32_T(ctx, &Y);
    emxFree_real32_T(ctx, &levels);
    emxFree_real32_T(ctx, &X);
  }
};

TEST(BlockPass, WithEveryEstimateRejectedPointsStayAndNoiseLevelsFollowThePolynomial) {
  // Spacing 100 leaves every point alone within the search radius: no quadrant has the
  // three points a plane needs, so each point takes the mean of four copies of itself.
  const std::vector<float> xyz = grid(8, 8, 100.0f);
  std::vector<float> b(64);
  for (std::size_t j = 0; j < b.size(); ++j) b[j] = 0.5f + 0.01f * static_cast<float>(j);
  BlockPass pass;
  pass.run(xyz, b, 20.78f, 0.55f, 12.0f);
  for (std::size_t k = 0; k < xyz.size(); ++k) EXPECT_NEAR(pass.output[k], xyz[k], 1e-4f) << k;
  // The offset comes from the first noise level as the pass received it.
  const float offset = (-0.09697905f * b[0]) / 0.4f;
  for (std::size_t j = 0; j < b.size(); ++j) {
    SCOPED_TRACE(j);
    EXPECT_EQ(pass.noise[j], (b[j] * 1.0805545f + offset) * 0.5333f);
  }
  EXPECT_EQ(pass.host.live_allocations(), 0);
}

TEST(BlockPass, ProgressLinesEvery5000PointsWhateverTheThreadCount) {
  for (const int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    CapturingHost host({threads, {}});
    run_filter(host, grid(120, 100, 100.0f), 0.1f, 1.0f);  // 12000 isolated points
    const std::string console = host.console();
    EXPECT_EQ(count_of(console, "41.67% of points processed\n"), 2);  // once per pass
    EXPECT_EQ(count_of(console, "83.33% of points processed\n"), 2);
    EXPECT_EQ(count_of(console, "% of points processed\n"), 4);
  }
}

TEST(BlockPass, DenoisesAPlaneAndASphere) {
  struct Case {
    const char* what;
    std::vector<float> cloud;
    double (*distance)(const std::vector<float>&);
    double max_ratio;
  };
  const float sigma = 0.4f;
  const Case cases[] = {
      {"plane", fixtures::noisy_plane(4900, 70.0f, sigma, 21), &fixtures::mean_distance_to_plane, 0.3},  // measured 0.15
      {"sphere", fixtures::noisy_sphere(5000, 20.0f, sigma, 22),
       [](const std::vector<float>& p) { return fixtures::mean_distance_to_sphere(p, 20.0); }, 0.45},  // measured 0.26
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CapturingHost host;
    const std::vector<float> out = run_filter(host, c.cloud, sigma, 1.0f);
    const double before = c.distance(c.cloud);
    const double after = c.distance(out);
    std::cout << c.what << ": mean distance to the surface " << before << " -> " << after << "\n";
    EXPECT_LT(after, c.max_ratio * before);
  }
}

TEST(BlockPass, OutputIsBitIdenticalForAnyThreadCount) {
  const std::vector<float> cloud = fixtures::noisy_plane(20000, 280.0f, 0.3f, 31);
  std::vector<float> reference;
  for (const int threads : {1, 2, 4}) {
    SCOPED_TRACE(threads);
    CapturingHost host({threads, {}});
    const std::vector<float> out = run_filter(host, cloud, 0.3f, 1.0f);
    if (reference.empty()) {
      reference = out;
    } else {
      EXPECT_EQ(std::memcmp(out.data(), reference.data(), out.size() * sizeof(float)), 0);
    }
  }
}

TEST(BlockPass, ANoiseFreeCloudKeepsItsPositions) {
  CapturingHost host;
  const std::vector<float> cloud = fixtures::noisy_plane(900, 30.0f, 0.3f, 41);
  const std::vector<float> out = run_filter(host, cloud, 0.0f, 1.0f);
  // Up to the rounding of the box weight, which multiplies and divides out.
  for (std::size_t k = 0; k < cloud.size(); ++k) EXPECT_NEAR(out[k], cloud[k], 4e-6f * (1 + std::fabs(cloud[k])));
}

// A host whose parallel-safe print fails, standing for any error a worker meets.
class FailingWorkerPrintHost : public CapturingHost {
 public:
  FailingWorkerPrintHost() : CapturingHost({2, {}}) {}
  void print_parallel(std::string_view text) override {
    if (text.find("processed") != std::string_view::npos) throw Error("Vandrel:test", "worker failed");
    CapturingHost::print_parallel(text);
  }
};

TEST(BlockPass, AnErrorInAWorkerIsRaisedAfterTheLoopAndLeaksNothing) {
  const std::vector<float> block = grid(80, 80, 100.0f);  // point 5000 prints
  {
    FailingWorkerPrintHost host;
    try {
      run_filter(host, block, 0.1f, 1.0f);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), "Vandrel:test");
    }
    EXPECT_EQ(host.live_allocations(), 0);
  }
  CapturingHost host({2, {}});
  EXPECT_EQ(run_filter(host, block, 0.1f, 1.0f).size(), block.size());
}

}  // namespace
}  // namespace vandrel
