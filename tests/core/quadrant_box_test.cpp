#include "core/quadrant_box.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

namespace vandrel {
namespace {

constexpr float r0 = std::bit_cast<float>(0x413FFFFFu);

// Box (q, m) written out from its geometric description, as the reference.
bool in_box(const QuadrantBoxes& boxes, int q, std::size_t m, const Point& p) {
  const float su = (q == 1 || q == 4) ? 1.0f : -1.0f;
  const float sv = (q == 1 || q == 2) ? 1.0f : -1.0f;
  const float u = su * p[0], v = sv * p[1];
  return u > 0 && u < boxes.half_width[m] && v > 0 && v < boxes.half_width[m] && std::fabs(p[2]) < boxes.thickness[m] &&
         std::fabs(p[2]) < boxes.max_half_width;
}

TEST(quadrant_boxes, ScalesAndThickness) {
  struct Case {
    float noise, r0;
  };
  for (const Case c : {Case{0.0f, r0}, Case{0.1f, r0}, Case{2.0f, 15.0f}, Case{5.0f, r0}}) {
    SCOPED_TRACE(c.noise);
    const QuadrantBoxes boxes = quadrant_boxes(c.noise, c.r0);
    EXPECT_EQ(boxes.max_half_width, c.r0);
    EXPECT_EQ(boxes.half_width[0], 3.0f);
    for (std::size_t m = 0; m < 5; ++m) {
      EXPECT_NEAR(boxes.half_width[m], 3.0 * std::pow(std::sqrt(2.0), m), 2e-6 * boxes.half_width[m]) << m;
      if (m > 0) {
        EXPECT_GT(boxes.half_width[m], boxes.half_width[m - 1]);
      }
      EXPECT_EQ(boxes.thickness[m], std::max(3.0f * c.noise, boxes.half_width[m])) << m;
    }
  }
}

TEST(QuadrantBoxes, SmallestBoxWorkedExamples) {
  const QuadrantBoxes thin = quadrant_boxes(0.1f, r0);   // thickness = half width
  const QuadrantBoxes thick = quadrant_boxes(5.0f, r0);  // thickness 15, cut at r0
  const float below_3 = std::nextafter(3.0f, 0.0f);
  struct Case {
    const char* what;
    const QuadrantBoxes* boxes;
    Point p;
    int quadrant, scale;
  };
  const Case cases[] = {
      {"q2", &thin, {-1, 2, 0}, 2, 0},          {"q4", &thin, {1, -2, -0.5f}, 4, 0},
      {"on the v axis", &thin, {0, -2, 0}, 0, 0}, {"-0 is on the axis", &thin, {-0.0f, 1, 0}, 0, 0},
      {"just inside scale 0", &thin, {below_3, below_3, 0}, 1, 0},
      {"at half width 0", &thin, {3, 1, 0}, 1, 1}, {"at thickness 0", &thin, {1, 1, 3}, 1, 1},
      {"largest scale", &thin, {-11.5f, 11.5f, 0}, 2, 4},
      {"thick band", &thick, {1, 1, 11}, 1, 0},   {"at r0 across", &thick, {1, 1, r0}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const QuadrantBoxes::Entry entry = c.boxes->smallest_box(c.p);
    EXPECT_EQ(entry.quadrant, c.quadrant);
    if (c.quadrant != 0) {
      EXPECT_EQ(entry.scale, c.scale);
    }
  }
}

TEST(QuadrantBoxes, SmallestBoxIsTheFirstNestedBoxHoldingThePoint) {
  // A grid that puts points inside, outside and on the faces of every box.
  for (const float noise : {0.1f, 1.5f, 3.5f, 5.0f}) {
    const QuadrantBoxes boxes = quadrant_boxes(noise, r0);
    std::vector<float> values = {0.0f, -0.0f, 0.5f, 13.0f, r0};
    for (std::size_t m = 0; m < 5; ++m) {
      for (const float f : {boxes.half_width[m], boxes.thickness[m]}) {
        values.insert(values.end(), {f, std::nextafter(f, 0.0f), std::nextafter(f, 100.0f)});
      }
    }
    for (const float a : values) {
      for (const float b : values) {
        for (const float c : values) {
          for (const Point p : {Point{a, b, c}, Point{-a, b, -c}, Point{-a, -b, c}, Point{a, -b, c}}) {
            int quadrant = 0, scale = 0;
            for (int q = 1; q <= 4 && quadrant == 0; ++q) {
              for (std::size_t m = 0; m < 5; ++m) {
                if (in_box(boxes, q, m, p)) {
                  quadrant = q;
                  scale = static_cast<int>(m);
                  break;
                }
              }
            }
            // Nested: inside box m means inside every larger one of the quadrant.
            for (std::size_t m = static_cast<std::size_t>(scale); quadrant != 0 && m < 5; ++m) {
              ASSERT_TRUE(in_box(boxes, quadrant, m, p)) << noise << ": " << p[0] << " " << p[1] << " " << p[2];
            }
            const QuadrantBoxes::Entry entry = boxes.smallest_box(p);
            ASSERT_EQ(entry.quadrant, quadrant) << noise << ": " << p[0] << " " << p[1] << " " << p[2];
            ASSERT_EQ(entry.scale, quadrant != 0 ? scale : entry.scale) << noise << ": " << p[0] << " " << p[1] << " " << p[2];
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace vandrel
