#include "core/point_estimate.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/quadrant_box.h"
#include "core/plane_fit.h"

namespace vandrel {
namespace {


// The smaller and the larger of two values, disregarding a NaN operand.
float min_ignoring_nan(float a, float b) { return std::isnan(b) || a < b ? a : b; }
float max_ignoring_nan(float a, float b) { return std::isnan(b) || a > b ? a : b; }

}  // namespace

namespace {

// Local coordinates are rotations of single-precision differences: a relative margin covers
// their rounding.
float widened(double length) { return static_cast<float>(length * 1.0001 + 1e-6); }

}  // namespace

float estimate_region_radius() {
  const double side = quadrant_boxes(0.0f, 1.0f).half_width.back();
  return widened(std::sqrt(2.0 * side * side));
}

EstimateRegion estimate_region(const PassInputs& in, std::int32_t i, const Frame& frame) {
  const QuadrantBoxes boxes = quadrant_boxes(in.noise[static_cast<std::size_t>(i)], in.max_half_width);
  // A neighbour is in some box when it is in the largest of its quadrant, and no neighbour
  // beyond r0 across the surface is in any.
  const float thickness = boxes.thickness.back();
  return {in.points[static_cast<std::size_t>(i)], frame, boxes.half_width.back(),
          thickness < in.max_half_width ? thickness : in.max_half_width, boxes.half_width, boxes.thickness};
}

void estimate_point(const PassInputs& in, std::int32_t i, const Frame& frame,
                    std::span<const std::int32_t> neighbours, EstimateScratch& s, PointEstimate& estimate,
                    std::span<const Point> locals, std::span<const std::uint8_t> listed_boxes) {
  const Point& point = in.points[static_cast<std::size_t>(i)];
  const float noise = in.noise[static_cast<std::size_t>(i)];
  estimate.frame = frame;
  for (QuadrantEstimate& q : estimate.quadrants) {
    q.position = point;
    q.deviation = noise;
    q.support.assign(1, i);
    q.plane.reset();
  }

  // Every neighbour goes to the bucket of its quadrant and of the smallest scale whose box
  // holds it; one outside every box, or beyond r0 across the surface, goes nowhere. The
  // buckets are filled by counting, each in list order.
  const QuadrantBoxes boxes = quadrant_boxes(noise, in.max_half_width);
  const std::size_t n = neighbours.size();
  if (locals.empty()) {
    s.local.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
      const Point& p = in.points[static_cast<std::size_t>(neighbours[k])];
      s.local[k] = to_local(frame, {p[0] - point[0], p[1] - point[1], p[2] - point[2]});
    }
    locals = s.local;
  }
  std::array<std::int32_t, bucket_count + 1> start{};
  std::size_t k = 0;
  const std::uint8_t* bucket_of = listed_boxes.data();
  // The list in four consecutive quarters (the last one takes the rest), each counted and
  // later placed on its own, side by side, so that runs of one box do not wait on their own
  // last count: a bucket holds the first quarter's neighbours, then the second's, ...
  const std::size_t quarter = n / 4;
  std::array<std::array<std::int32_t, bucket_count + 1>, 4> tallies{};
  const bool by_quarters = listed_boxes.size() == n;
  if (by_quarters) {
    // The search told each neighbour's box: every one is in one.
    const std::uint8_t* q0 = bucket_of;
    const std::uint8_t* q1 = q0 + quarter;
    const std::uint8_t* q2 = q1 + quarter;
    const std::uint8_t* q3 = q2 + quarter;
    for (std::size_t e = 0; e < quarter; ++e) {
      ++tallies[0][q0[e]];
      ++tallies[1][q1[e]];
      ++tallies[2][q2[e]];
      ++tallies[3][q3[e]];
    }
    for (std::size_t e = 4 * quarter; e < n; ++e) ++tallies[3][bucket_of[e]];
    for (std::size_t b = 0; b < start.size(); ++b) start[b] = (tallies[0][b] + tallies[1][b]) + (tallies[2][b] + tallies[3][b]);
  } else {
    s.bucket_of.resize(n);
    bucket_of = s.bucket_of.data();
#if defined(__SSE2__)
    // Four neighbours at a time, with the comparisons of QuadrantBoxes::smallest_box: max(a, b)
    // is a > b ? a : b there too, and every comparison with NaN is false alike.
    {
      __m128 half_width[scale_count];
      __m128 thickness[scale_count];
      for (std::size_t m = 0; m < static_cast<std::size_t>(scale_count); ++m) {
        half_width[m] = _mm_set1_ps(boxes.half_width[m]);
        thickness[m] = _mm_set1_ps(boxes.thickness[m]);
      }
      const __m128 across_limit = _mm_set1_ps(boxes.max_half_width);
      const __m128 sign = _mm_set1_ps(-0.0f);
      const __m128 zero = _mm_setzero_ps();
      // The quadrant's index (quadrant - 1) from the signs: bit 0 +u, bit 1 +v.
      constexpr int quadrant_of_signs[4] = {2, 3, 1, 0};
      for (; k + 4 <= n; k += 4) {
        const Point* p = &locals[k];
        const __m128 u = _mm_setr_ps(p[0][0], p[1][0], p[2][0], p[3][0]);
        const __m128 v = _mm_setr_ps(p[0][1], p[1][1], p[2][1], p[3][1]);
        const __m128 w = _mm_setr_ps(p[0][2], p[1][2], p[2][2], p[3][2]);
        const __m128 along = _mm_max_ps(_mm_andnot_ps(sign, u), _mm_andnot_ps(sign, v));
        const __m128 across = _mm_andnot_ps(sign, w);
        __m128i inside = _mm_setzero_si128();  // minus the boxes holding each neighbour
        for (std::size_t m = 0; m < static_cast<std::size_t>(scale_count); ++m) {
          const __m128 in_box = _mm_and_ps(_mm_cmplt_ps(along, half_width[m]), _mm_cmplt_ps(across, thickness[m]));
          inside = _mm_add_epi32(inside, _mm_castps_si128(in_box));
        }
        const __m128 placed = _mm_and_ps(_mm_and_ps(_mm_cmpneq_ps(u, zero), _mm_cmpneq_ps(v, zero)),
                                         _mm_cmplt_ps(across, across_limit));
        const int valid = _mm_movemask_ps(placed);
        const int positive_u = _mm_movemask_ps(_mm_cmpgt_ps(u, zero));
        const int positive_v = _mm_movemask_ps(_mm_cmpgt_ps(v, zero));
        alignas(16) std::int32_t boxes_holding[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(boxes_holding), inside);
        for (int lane = 0; lane < 4; ++lane) {
          const int scale = scale_count + boxes_holding[lane];
          int bucket = static_cast<int>(bucket_count);
          if (((valid >> lane) & 1) != 0 && scale < scale_count) {
            const int signs = ((positive_u >> lane) & 1) | (((positive_v >> lane) & 1) << 1);
            bucket = scale_count * quadrant_of_signs[signs] + scale;
          }
          s.bucket_of[k + static_cast<std::size_t>(lane)] = static_cast<std::uint8_t>(bucket);
          ++start[static_cast<std::size_t>(bucket)];
        }
      }
    }
#endif
    for (; k < n; ++k) {
      const QuadrantBoxes::Entry entry = boxes.smallest_box(locals[k]);
      const int bucket =
          entry.quadrant == 0 ? static_cast<int>(bucket_count) : scale_count * (entry.quadrant - 1) + entry.scale;
      s.bucket_of[k] = static_cast<std::uint8_t>(bucket);
      ++start[static_cast<std::size_t>(bucket)];
    }
  }
  // Prefix sums: bucket b holds s.sorted[s.start[b] .. s.start[b + 1]).
  std::int32_t total = 0;
  for (std::size_t b = 0; b < bucket_count; ++b) {
    const std::int32_t count = start[b];
    s.start[b] = total;
    total += count;
  }
  s.start[bucket_count] = total;
  // Neighbours in no box go past the end of the last bucket.
  s.sorted.resize(n);
  s.placed.resize(n);
  const std::int32_t* rows = neighbours.data();
  const float* noise_of = in.noise.data();
  std::int32_t* sorted = s.sorted.data();
  std::array<float, 4>* placed = s.placed.data();
  const auto place = [&](std::array<std::int32_t, bucket_count + 1>& next, std::size_t e) {
    const auto at = static_cast<std::size_t>(next[bucket_of[e]]++);
    const Point& local = locals[e];
    const std::int32_t row = rows[e];
    sorted[at] = row;
    placed[at] = {local[0], local[1], local[2], noise_of[row]};
  };
  if (by_quarters) {
    // Each quarter's first place in a bucket follows the quarters before it there.
    std::array<std::array<std::int32_t, bucket_count + 1>, 4> next;
    for (std::size_t b = 0; b <= bucket_count; ++b) {
      next[0][b] = s.start[b];
      for (std::size_t q = 1; q < 4; ++q) next[q][b] = next[q - 1][b] + tallies[q - 1][b];
    }
    for (std::size_t e = 0; e < quarter; ++e) {
      place(next[0], e);
      place(next[1], e + quarter);
      place(next[2], e + 2 * quarter);
      place(next[3], e + 3 * quarter);
    }
    for (std::size_t e = 4 * quarter; e < n; ++e) place(next[3], e);
  } else {
    std::array<std::int32_t, bucket_count + 1> next = s.start;
    for (k = 0; k < n; ++k) place(next, k);
  }

  const float upper_at_zero = in.threshold * noise;
  const float lower_at_zero = 0.0f - in.threshold * noise;
  for (int quadrant = 1; quadrant <= 4; ++quadrant) {
    const auto first_bucket = static_cast<std::size_t>(scale_count * (quadrant - 1));
    QuadrantEstimate& accepted = estimate.quadrants[static_cast<std::size_t>(quadrant - 1)];
    float upper = upper_at_zero;
    float lower = lower_at_zero;
    int accepted_scale = -1;
    PlaneFit fit;
    fit.add(0.0f, 0.0f, 0.0f);  // the point itself
    for (int m = 0; m < scale_count; ++m) {
      const std::size_t bucket = first_bucket + static_cast<std::size_t>(m);
      for (auto e = static_cast<std::size_t>(s.start[bucket]); e < static_cast<std::size_t>(s.start[bucket + 1]); ++e) {
        fit.add(placed[e][0], placed[e][1], placed[e][2]);
      }
      // A plane needs the point and at least two neighbours.
      if (!(fit.count() > 2.0f)) break;

      // The deviation of the fitted height from the noise of the support, through the
      // fit's kernel; a kernel with NaN (a singular fit) ends the quadrant.
      const PlaneFit::Plane plane = fit.solve();
      const std::array<float, 3>& z = plane.kernel;
      if (PlaneFit::kernel_has_nan(z)) break;
      // The buckets of the quadrant up to scale m lie side by side, in level order.
      float variance = (noise * z[2]) * (noise * z[2]);
      const auto last = static_cast<std::size_t>(s.start[bucket + 1]);
      for (auto e = static_cast<std::size_t>(s.start[first_bucket]); e < last; ++e) {
        const std::array<float, 4>& p = placed[e];
        const float spread = p[3] * ((p[0] * z[0] + p[1] * z[1]) + z[2]);
        variance += spread * spread;
      }
      const float height = plane.height;
      const float deviation = std::sqrt(variance);
      upper = min_ignoring_nan(upper, height + in.threshold * deviation);
      lower = max_ignoring_nan(lower, height - in.threshold * deviation);
      if (!(upper > lower)) break;

      // Accepted: the point moves along its normal axis by the fitted height.
      for (std::size_t c_axis = 0; c_axis < 3; ++c_axis) accepted.position[c_axis] = point[c_axis] + frame.axes[6 + c_axis] * height;
      accepted.deviation = deviation;
      accepted.plane = plane.normal;
      accepted_scale = m;
    }
    if (accepted_scale >= 0) {
      const auto last = static_cast<std::size_t>(s.start[first_bucket + static_cast<std::size_t>(accepted_scale) + 1]);
      accepted.support.insert(accepted.support.end(), sorted + s.start[first_bucket], sorted + last);
    }
  }
}

}  // namespace vandrel
