#include "source_code_withOctree/Vandrel.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "filter_runner.h"
#include "api/error.h"
#include "test_host.h"

namespace vandrel {
namespace {

using fixtures::CapturingHost;
using fixtures::column_major;
using fixtures::run_filter;

// Records what the filter asks of the host's searches.
class RecordingHost : public CapturingHost {
 public:
  std::vector<float> radii;
  int knn_calls = 0;

 protected:
  Value rangesearch(const std::vector<Value>& inputs) override {
    radii.push_back(inputs[2].f32.at(0));
    return CapturingHost::rangesearch(inputs);
  }
  Value knnsearch(const std::vector<Value>& inputs) override {
    ++knn_calls;
    return CapturingHost::knnsearch(inputs);
  }
};

std::vector<float> random_cloud(std::int32_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-3.0f, 3.0f);
  std::vector<float> xyz(static_cast<std::size_t>(3 * n));
  for (auto& v : xyz) v = u(rng);
  return xyz;
}

std::string pass_lines(int blocks) {
  std::string s;
  for (int k = 0; k < blocks; ++k) {
    s += "////////////////////// itr = 1 done ////////////////////// \n";
    s += "////////////////////// itr = 2 done ////////////////////// \n";
  }
  return s;
}

TEST(Vandrel, SmallBlocksArePrunedOrPassedThroughUnfiltered) {
  struct Case {
    std::int32_t points;
    int pass_line_blocks;
  };
  for (const Case c : {Case{1, 0}, Case{3, 0}, Case{4, 1}, Case{49, 1}}) {
    SCOPED_TRACE(c.points);
    RecordingHost host;
    const std::vector<float> cloud = random_cloud(c.points, 3);
    const std::vector<float> out = run_filter(host, cloud, 0.1f, 4.0f);
    EXPECT_EQ(host.console(), pass_lines(c.pass_line_blocks));
    EXPECT_EQ(host.knn_calls, 0);  // never filtered
    ASSERT_EQ(out.size(), cloud.size());
    // Unfiltered points come back in input order, up to the rounding of scaling by
    // sqrt(4) = 2 and back (exact here) and of the box weight multiplying and dividing.
    for (std::size_t k = 0; k < cloud.size(); ++k) EXPECT_NEAR(out[k], cloud[k], 1e-5f * (1 + std::fabs(cloud[k])));
    EXPECT_EQ(host.live_allocations(), 0);
  }
}

TEST(Vandrel, BlocksOf50PointsAreFilteredTwice) {
  RecordingHost host;
  const std::vector<float> cloud = random_cloud(50, 5);
  run_filter(host, cloud, 0.1f, 1.0f);
  EXPECT_EQ(host.knn_calls, 2);
  EXPECT_EQ(host.radii.size(), 1u);  // one radius search serves both passes
  EXPECT_EQ(host.console(), pass_lines(1));
}

TEST(Vandrel, MaximumHalfWidthAndSearchRadius) {
  const float floor_half_width = std::bit_cast<float>(0x413FFFFFu);
  struct Case {
    float sigma, density, r0;
  };
  // sigma * sqrt(density) = 3 gives r0 = 15; small or zero noise gives the floor.
  for (const Case c : {Case{3.0f, 1.0f, 15.0f}, Case{1.5f, 4.0f, 15.0f}, Case{0.0f, 1.0f, floor_half_width},
                       Case{2.0f, 1.0f, floor_half_width}}) {
    SCOPED_TRACE(testing::Message() << c.sigma << " " << c.density);
    RecordingHost host;
    run_filter(host, random_cloud(10, 1), c.sigma, c.density);
    ASSERT_EQ(host.radii.size(), 1u);
    EXPECT_EQ(host.radii[0], std::sqrt((c.r0 * c.r0) * 3.0f));
  }
  EXPECT_EQ(std::sqrt((15.0f * 15.0f) * 3.0f), std::sqrt(675.0f));
}

TEST(Vandrel, ThresholdsOfTheTwoPassesHaveTheirExactBits) {
  EXPECT_EQ(std::bit_cast<std::uint32_t>(0.55f + 0.3f * 0.0f), 0x3F0CCCCDu);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(0.55f + 0.3f * 1.0f), 0x3F59999Au);
}

TEST(Vandrel, PointsNoBlockCoversKeepTheirInputPosition) {
  const float nan = std::nanf("");
  struct Case {
    const char* what;
    std::vector<float> rows;
  };
  const Case cases[] = {
      {"three points", {1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"all at the origin", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"one NaN row among few", {1, 2, 3, nan, 1, 1, 4, 5, 6, 2, 2, 2, 3, 1, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CapturingHost host;
    const std::vector<float> cloud = column_major(c.rows);
    const std::vector<float> out = run_filter(host, cloud, 0.01f, 9.0f);
    ASSERT_EQ(out.size(), cloud.size());
    for (std::size_t k = 0; k < cloud.size(); ++k) {
      if (std::isnan(cloud[k])) {
        EXPECT_TRUE(std::isnan(out[k]));
      } else {
        EXPECT_NEAR(out[k], cloud[k], 1e-5f * (1 + std::fabs(cloud[k])));
      }
    }
  }
}

TEST(Vandrel, PointsOnALowerFaceAreNotLost) {
  // Copies of one point lie on all three lower faces of the only box: their box weight
  // is 0, yet they belong to the block and keep its (unfiltered) position.
  CapturingHost host;
  const std::vector<float> cloud = column_major({1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3});
  const std::vector<float> out = run_filter(host, cloud, 0.01f, 1.0f);
  EXPECT_EQ(out, cloud);
}

TEST(Vandrel, RejectsArgumentsItCannotFilter) {
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
    CapturingHost host;
    try {
      run_filter(host, random_cloud(10, 2), c.sigma, c.density);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), c.id);
    }
    EXPECT_EQ(host.console(), "");
    EXPECT_EQ(host.live_allocations(), 0);
  }
}

// A host whose rangesearch answers in a wrong form.
class MalformedRangeHost : public CapturingHost {
 public:
  explicit MalformedRangeHost(int fault) : fault_(fault) {}

 protected:
  Value rangesearch(const std::vector<Value>& inputs) override {
    Value out = CapturingHost::rangesearch(inputs);
    switch (fault_) {
      case 0: std::swap(out.dims[0], out.dims[1]); break;                    // a row cell
      case 1: out.cells[2].cls = ValueClass::Single;                          // single, not double
              out.cells[2].f32.assign(out.cells[2].f64.begin(), out.cells[2].f64.end());
              break;
      case 2: out.cells[1].dims = {out.cells[1].dims[1], 1}; break;           // a column element
      case 3: out.cells[0].f64[0] = 99; break;                                // not a block row
      case 4: out.cells.pop_back(); out.dims[0] -= 1; break;                 // one list missing
      case 5: out.cls = ValueClass::Double; break;                            // not a cell
    }
    return out;
  }

 private:
  int fault_;
};

TEST(Vandrel, MalformedNeighbourListsRaiseAnErrorNamingThemAndLeakNothing) {
  struct Case {
    int fault;
    const char* id;
    const char* named;
  };
  const Case cases[] = {
      {0, "Vandrel:sizeMismatch", "<output of rangesearch>"},
      {1, "Vandrel:classMismatch", "<output of rangesearch>{3}"},
      {2, "Vandrel:sizeMismatch", "<output of rangesearch>{2}"},
      {3, "Vandrel:badNeighbourList", "<output of rangesearch>{1}"},
      {4, "Vandrel:sizeMismatch", "<output of rangesearch>"},
      {5, "Vandrel:classMismatch", "<output of rangesearch>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    MalformedRangeHost host(c.fault);
    try {
      run_filter(host, random_cloud(60, 4), 0.1f, 1.0f);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), c.id);
      EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
    }
    EXPECT_EQ(host.live_allocations(), 0);
  }
}

// A host whose fprintf answers with something other than a double scalar.
class BadPrintHost : public CapturingHost {
 protected:
  Value fprintf(const std::vector<Value>& inputs) override {
    CapturingHost::fprintf(inputs);
    return Value::int32_scalar(1);
  }
};

TEST(Vandrel, PrintOutputIsChecked) {
  BadPrintHost host;
  try {
    run_filter(host, random_cloud(10, 6), 0.1f, 1.0f);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("<output of feval>"), std::string::npos);
  }
  EXPECT_EQ(host.live_allocations(), 0);
}

}  // namespace
}  // namespace vandrel
