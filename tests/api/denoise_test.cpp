#include "vandrel/vandrel.h"

#include <gtest/gtest.h>

#include "tiling/tiling.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <type_traits>
#include <string>
#include <limits>
#include <random>
#include <vector>

namespace vandrel {
namespace {

// A noisy patch of a plane, 1 unit across, 3000 points.
std::vector<PointD> noisy_patch(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.005);
  std::vector<PointD> points(3000);
  for (PointD& p : points) p = {u(rng), u(rng), 0.1 * u(rng) * u(rng) + noise(rng)};
  return points;
}

TEST(denoise, DoublePointsFarFromTheOriginKeepTheirDetail) {
  const std::vector<PointD> local = noisy_patch(5);
  const PointD offset = {450000.0, 5200000.0, 100.0};
  std::vector<PointD> far = local;
  for (PointD& p : far) {
    for (std::size_t c = 0; c < 3; ++c) p[c] += offset[c];
  }
  far[17][1] = std::numeric_limits<double>::quiet_NaN();
  std::vector<PointD> near = local;
  near[17][1] = std::numeric_limits<double>::quiet_NaN();
  const std::vector<PointD> near_out = denoise(std::span<const PointD>(near), 0.005f, 3000.0f);
  const std::vector<PointD> far_out = denoise(std::span<const PointD>(far), 0.005f, 3000.0f);
  // Recentring rounds the two clouds a little differently (by about 1e-10), which may tip
  // a scale decision here and there; single precision at 5.2 million units would be off
  // by 0.25 (the noise is 0.005).
  double worst = 0.0;
  double moved = 0.0;
  std::size_t close = 0;
  for (std::size_t i = 0; i < local.size(); ++i) {
    if (i == 17) continue;
    double difference = 0.0;
    for (std::size_t c = 0; c < 3; ++c) {
      difference = std::max(difference, std::fabs((far_out[i][c] - offset[c]) - near_out[i][c]));
      moved = std::max(moved, std::fabs(near_out[i][c] - near[i][c]));
    }
    worst = std::max(worst, difference);
    close += difference < 1e-6;
  }
  EXPECT_GT(moved, 1e-3);                                     // it did filter
  EXPECT_LT(worst, 0.1 * 0.005);                              // the same way
  EXPECT_GT(static_cast<double>(close), 0.98 * static_cast<double>(local.size()));
  EXPECT_EQ(std::memcmp(&far_out[17], &far[17], sizeof(PointD)), 0);  // NaN row: input bits
}

TEST(denoise, RefusesWhatItCannotTake) {
  struct Case {
    const char* what;
    std::vector<PointD> points;
    int threads;
    const char* identifier;
  };
  std::vector<PointD> spread = noisy_patch(6);
  spread[3] = {1e300, 0, 0};
  const Case cases[] = {
      {"a coordinate beyond single precision after recentring", spread, 0, "Vandrel:outOfRange"},
      {"a negative thread count", noisy_patch(7), -1, "Vandrel:invalidThreads"},
      {"more than 1024 threads", noisy_patch(7), 1025, "Vandrel:invalidThreads"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DenoiseOptions options;
    options.threads = c.threads;
    try {
      denoise(std::span<const PointD>(c.points), 0.005f, 3000.0f, options);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), c.identifier);
    }
  }
}

TEST(denoise, HugeNeighbourhoodsAreRefusedUnlessAllowed) {
  // A density 10^4 times too small puts the whole patch in every neighbourhood.
  std::vector<Point> points;
  for (const PointD& p : noisy_patch(8)) points.push_back({static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])});
  std::vector<Point> many;
  for (int copy = 0; copy < 10; ++copy) many.insert(many.end(), points.begin(), points.end());
  try {
    denoise(many, 0.00005f, 0.3f);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:hugeNeighbourhood");
  }
  // A cloud below 20000 points is refused too when nearly all of it lies in every
  // neighbourhood: here 6000 points, for a density 10^4 times too small.
  const std::vector<Point> fewer(many.begin(), many.begin() + 6000);
  try {
    denoise(fewer, 0.00005f, 0.3f);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:hugeNeighbourhood");
    EXPECT_NE(std::string(e.what()).find("nearly the whole cloud"), std::string::npos) << e.what();
  }
  EXPECT_NO_THROW(denoise(fewer, 0.005f, 3000.0f));
  // Copies of one point (and a NaN row) come back as given, at once, whatever their number.
  std::vector<Point> copies(30000, Point{1.1f, 2.2f, 3.3f});
  copies[7] = {std::nanf(""), 0.0f, 0.0f};
  const std::vector<Point> same = denoise(copies, 0.01f, 1.0f);
  EXPECT_EQ(std::memcmp(same.data(), copies.data(), copies.size() * sizeof(Point)), 0);
}

template <class P>
bool same_bits(const std::vector<P>& a, const std::vector<P>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(P)) == 0;
}

TEST(denoise, FiltersTheSelectedRowsAsACloudOfTheirOwn) {
  // Two rows in three selected, the others interleaved with them on the same surface: were
  // they anyone's neighbours, the selected rows would come out otherwise.
  const PointD offset = {450000.0, 5200000.0, 100.0};
  std::vector<PointD> wide = noisy_patch(9);
  std::vector<std::uint8_t> selection(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) selection[i] = i % 3 == 0 ? 0 : static_cast<std::uint8_t>(1 + i % 5);
  wide[4][2] = std::numeric_limits<double>::quiet_NaN();  // selected, passes through
  std::vector<Point> single;
  for (const PointD& p : wide) single.push_back({static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])});
  for (PointD& p : wide) {
    for (std::size_t c = 0; c < 3; ++c) p[c] += offset[c];
  }
  // Left out, a point beyond single precision from the others is no trouble: it is not filtered.
  wide[6] = {1e300, -1e300, 0.0};
  const auto alone = [&](const auto& points) {
    std::remove_cvref_t<decltype(points)> chosen;
    for (std::size_t i = 0; i < points.size(); ++i)
      if (selection[i] != 0) chosen.push_back(points[i]);
    return chosen;
  };
  const auto placed = [&](auto points, const auto& filtered) {  // the filtered rows back in their places
    for (std::size_t i = 0, k = 0; i < points.size(); ++i)
      if (selection[i] != 0) points[i] = filtered[k++];
    return points;
  };

  DenoiseOptions options;
  options.selection = selection;
  options.threads = 2;
  const std::vector<Point> selected = denoise(single, 0.005f, 2000.0f, options);
  EXPECT_TRUE(same_bits(selected, placed(single, denoise(alone(single), 0.005f, 2000.0f))));
  EXPECT_FALSE(same_bits(selected, denoise(single, 0.005f, 2000.0f)));  // the left-out rows would matter
  EXPECT_TRUE(same_bits(selected_points(single, selection), alone(single)));
  // In tiles, as whole.
  EXPECT_TRUE(same_bits(denoise_tiled(single, 0.005f, 2000.0f, options, {.tile_points = 400}), selected));
  // Double points: moved by the centre of the selected rows alone.
  const std::vector<PointD> wide_selected = denoise(std::span<const PointD>(wide), 0.005f, 2000.0f, options);
  EXPECT_TRUE(same_bits(wide_selected, placed(wide, denoise(std::span<const PointD>(alone(wide)), 0.005f, 2000.0f))));
  EXPECT_FALSE(same_bits(wide_selected, wide));

  // Nothing selected: every row as given; a selection of another length is refused.
  const std::vector<std::uint8_t> none(single.size(), 0);
  options.selection = none;
  EXPECT_TRUE(same_bits(denoise(single, 0.005f, 2000.0f, options), single));
  EXPECT_TRUE(same_bits(denoise(std::span<const PointD>(wide), 0.005f, 2000.0f, options), wide));
  options.selection = std::span(selection).first(single.size() - 1);
  for (const auto& call : {std::function<void()>([&] { denoise(single, 0.005f, 2000.0f, options); }),
                           std::function<void()>([&] { denoise_tiled(single, 0.005f, 2000.0f, options); })}) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), "Vandrel:invalidArgument");
      EXPECT_NE(std::string(e.what()).find("selection holds 2999 values for 3000 points"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace vandrel

