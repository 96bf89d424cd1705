#include "numeric/sortLE.h"

#include <bit>
#include <cmath>

#include "runtime/rt_math.h"
#include "runtime/rt_nonfinite.h"

namespace vandrel {
namespace {

// Half the largest single (bit pattern 0x7EFFFFFF): hypot of larger components could
// overflow, so their magnitudes are compared at half scale.
constexpr float hypot_overflow_guard = 1.7014117e38f;
static_assert(std::bit_cast<std::uint32_t>(hypot_overflow_guard) == 0x7EFFFFFFu);

constexpr double quarter_pi = 0.7853981633974483;
constexpr double three_quarter_pi = 2.356194490192345;

bool has_nan(const creal32_T& z) { return rt_isnan(z.re) || rt_isnan(z.im); }

// Spacing of single-precision numbers at v >= 0: NaN for a non-finite v, the smallest
// subnormal up to the smallest normal, else 2^(e - 24) for v = f 2^e, 0.5 <= f < 1.
float single_spacing(float v) {
  if (rt_isinf(v) || rt_isnan(v)) return rtNaNF;
  if (v <= 0x1p-126f) return 0x1p-149f;
  int exponent = 0;
  std::frexp(v, &exponent);
  return std::ldexp(1.0f, exponent - 24);
}

}  // namespace

bool iseq(float p, float q) {
  const float tolerance = single_spacing(rt_absf(q / 2.0f));
  return rt_absf(q - p) < tolerance || (rt_isinf(p) && rt_isinf(q) && ((p > 0.0f) == (q > 0.0f)));
}

bool sortLE(const creal32_T x[], std::int32_t i, std::int32_t j) {
  const creal32_T a = x[i - 1];
  const creal32_T b = x[j - 1];

  if (has_nan(b)) return has_nan(a);
  if (has_nan(a)) return true;

  const float a_re = rt_absf(a.re);
  const float a_im = rt_absf(a.im);
  const float b_re = rt_absf(b.re);
  const float b_im = rt_absf(b.im);

  float c;
  float h;
  if (a_re > hypot_overflow_guard || a_im > hypot_overflow_guard || b_re > hypot_overflow_guard ||
      b_im > hypot_overflow_guard) {
    c = rt_hypotf(a.re / 2.0f, a.im / 2.0f);
    h = rt_hypotf(b.re / 2.0f, b.im / 2.0f);
  } else {
    c = rt_hypotf(a.re, a.im);
    h = rt_hypotf(b.re, b.im);
  }
  if (!iseq(c, h)) return c >= h;

  // o >= t exactly when |a|^2 >= |b|^2 in exact arithmetic; when one value has both the
  // larger and the smaller component, the difference of squares is factored so that
  // nothing is squared.
  const float a_lo = a_re < a_im ? a_re : a_im;
  const float a_hi = a_re < a_im ? a_im : a_re;
  const float b_lo = b_re < b_im ? b_re : b_im;
  const float b_hi = b_re < b_im ? b_im : b_re;
  float o;
  float t;
  if (a_hi > b_hi && a_lo < b_lo) {
    o = a_hi - b_hi;
    t = ((a_lo * 0.5f + b_lo * 0.5f) / (b_hi * 0.5f + a_hi * 0.5f)) * (b_lo - a_lo);
  } else if (a_hi < b_hi && a_lo > b_lo) {
    t = b_hi - a_hi;
    o = ((a_lo * 0.5f + b_lo * 0.5f) / (b_hi * 0.5f + a_hi * 0.5f)) * (a_lo - b_lo);
  } else if (a_hi == b_hi) {
    o = a_lo;
    t = b_lo;
  } else {
    o = a_hi;
    t = b_hi;
  }
  if (!iseq(o, t)) return o >= t;

  const float angle_a = rt_atan2f(a.im, a.re);
  const float angle_b = rt_atan2f(b.im, b.re);
  if (!iseq(angle_a, angle_b)) return angle_a >= angle_b;

  // Equal magnitudes and angles within tolerance: compare the component that varies
  // fastest with the angle in a's octant, rotated so that larger means later angle.
  const double angle = static_cast<double>(angle_a);
  float o_part;
  float p_part;
  if (angle > three_quarter_pi || angle <= -three_quarter_pi) {
    o_part = -a.im;
    p_part = -b.im;
  } else if (angle > quarter_pi) {
    o_part = -a.re;
    p_part = -b.re;
  } else if (angle > -quarter_pi) {
    o_part = a.im;
    p_part = b.im;
  } else {
    o_part = a.re;
    p_part = b.re;
  }
  if (iseq(o_part, p_part)) return true;
  return o_part >= p_part;
}

}  // namespace vandrel
