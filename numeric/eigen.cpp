#include "numeric/eigen.h"

#include <bit>
#include <cmath>
#include <limits>

// LAPACK's complex single as std::complex<float>, layout-compatible with the Fortran
// type, instead of the C99 _Complex that C++ lacks.
#define lapack_complex_float std::complex<float>
#define lapack_complex_double std::complex<double>
#include <lapacke.h>

namespace vandrel {
namespace {

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

EigenDecomposition all_nan() {
  EigenDecomposition e;
  e.values.fill({nan, 0.0f});
  e.vectors.fill(nan);
  return e;
}

bool is_bit_symmetric(const Matrix3& a) {
  return a[3] == a[1] && a[6] == a[2] && a[7] == a[5];
}

// Real Schur route: T = Z' A Z with Z orthogonal; for a symmetric A, T is diagonal up to
// rounding, so its diagonal holds the eigenvalues and Z the eigenvectors.
EigenDecomposition schur_route(const Matrix3& a) {
  float h[9];
  float z[9];
  float tau[3];
  float wr[3];
  float wi[3];
  for (int k = 0; k < 9; ++k) h[k] = a[k];
  if (LAPACKE_sgehrd(LAPACK_COL_MAJOR, 3, 1, 3, h, 3, tau) != 0) {
    for (float& v : h) v = nan;
    for (int k = 0; k < 2; ++k) tau[k] = nan;
  }
  for (int k = 0; k < 9; ++k) z[k] = h[k];
  if (LAPACKE_sorghr(LAPACK_COL_MAJOR, 3, 1, 3, z, 3, tau) != 0) {
    for (float& v : z) v = nan;
  }
  // A positive status (no convergence) leaves usable partial factors and is not treated.
  if (LAPACKE_shseqr(LAPACK_COL_MAJOR, 'S', 'V', 3, 1, 3, h, 3, wr, wi, z, 3) < 0) {
    for (int k = 0; k < 9; ++k) h[k] = z[k] = nan;
  }
  EigenDecomposition e;
  for (int k = 0; k < 9; ++k) e.vectors[static_cast<std::size_t>(k)] = z[k];
  for (int k = 0; k < 3; ++k) e.values[static_cast<std::size_t>(k)] = {h[4 * k], 0.0f};
  return e;
}

EigenDecomposition complex_route(const Matrix3& a) {
  std::complex<float> ac[9];
  std::complex<float> w[3];
  std::complex<float> vl[1];
  std::complex<float> vr[9];
  for (int k = 0; k < 9; ++k) ac[k] = {a[static_cast<std::size_t>(k)], 0.0f};
  if (LAPACKE_cgeev(LAPACK_COL_MAJOR, 'N', 'V', 3, ac, 3, w, vl, 1, vr, 3) < 0) return all_nan();
  EigenDecomposition e;
  for (int k = 0; k < 9; ++k) e.vectors[static_cast<std::size_t>(k)] = vr[k].real();
  for (int k = 0; k < 3; ++k) e.values[static_cast<std::size_t>(k)] = w[k];
  return e;
}

// Half the largest single (bit pattern 0x7EFFFFFF): hypot of larger components could
// overflow, so their magnitudes are compared at half scale.
constexpr float hypot_overflow_guard = 1.7014117e38f;
static_assert(std::bit_cast<std::uint32_t>(hypot_overflow_guard) == 0x7EFFFFFFu);

constexpr double quarter_pi = 0.7853981633974483;
constexpr double three_quarter_pi = 2.356194490192345;

struct Parts {
  float re;
  float im;
};

bool has_nan(const Parts& z) { return std::isnan(z.re) || std::isnan(z.im); }

// Spacing of single-precision numbers at v >= 0: NaN for a non-finite v, the smallest
// subnormal up to the smallest normal, else 2^(e - 24) for v = f 2^e, 0.5 <= f < 1.
float single_spacing(float v) {
  if (!std::isfinite(v)) return std::numeric_limits<float>::quiet_NaN();
  if (v <= 0x1p-126f) return 0x1p-149f;
  int exponent = 0;
  std::frexp(v, &exponent);
  return std::ldexp(1.0f, exponent - 24);
}

// Equal within half a unit in the last place of q/2.
bool nearly_equal(float p, float q) {
  const float tolerance = single_spacing(std::fabs(q / 2.0f));
  return std::fabs(q - p) < tolerance || (std::isinf(p) && std::isinf(q) && ((p > 0.0f) == (q > 0.0f)));
}

// Whether a goes before (or with) b when ordering by decreasing magnitude, then by
// decreasing phase angle; NaN goes first.
bool goes_first(const Complex& a_value, const Complex& b_value) {
  const Parts a{a_value.real(), a_value.imag()};
  const Parts b{b_value.real(), b_value.imag()};

  if (has_nan(b)) return has_nan(a);
  if (has_nan(a)) return true;

  const float a_re = std::fabs(a.re);
  const float a_im = std::fabs(a.im);
  const float b_re = std::fabs(b.re);
  const float b_im = std::fabs(b.im);

  float c;
  float h;
  if (a_re > hypot_overflow_guard || a_im > hypot_overflow_guard || b_re > hypot_overflow_guard ||
      b_im > hypot_overflow_guard) {
    c = std::hypot(a.re / 2.0f, a.im / 2.0f);
    h = std::hypot(b.re / 2.0f, b.im / 2.0f);
  } else {
    c = std::hypot(a.re, a.im);
    h = std::hypot(b.re, b.im);
  }
  if (!nearly_equal(c, h)) return c >= h;

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
  if (!nearly_equal(o, t)) return o >= t;

  const float angle_a = std::atan2(a.im, a.re);
  const float angle_b = std::atan2(b.im, b.re);
  if (!nearly_equal(angle_a, angle_b)) return angle_a >= angle_b;

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
  if (nearly_equal(o_part, p_part)) return true;
  return o_part >= p_part;
}

}  // namespace

EigenDecomposition eigen_3x3(const Matrix3& a) {
  for (float v : a) {
    if (!std::isfinite(v)) return all_nan();
  }
  return is_bit_symmetric(a) ? schur_route(a) : complex_route(a);
}

std::array<int, 3> order_by_decreasing_magnitude(const std::array<Complex, 3>& values) {
  // A merge sort of three, comparing in the order a bottom-up merge sort does: the
  // first pair, then the merge of that pair with the third value.
  const std::array<int, 3> pair = goes_first(values[0], values[1]) ? std::array<int, 3>{0, 1, 2}
                                                                    : std::array<int, 3>{1, 0, 2};
  std::array<int, 3> order{};
  if (!goes_first(values[static_cast<std::size_t>(pair[0])], values[2])) {
    order = {2, pair[0], pair[1]};
  } else if (goes_first(values[static_cast<std::size_t>(pair[1])], values[2])) {
    order = pair;
  } else {
    order = {pair[0], 2, pair[1]};
  }
  return order;
}

}  // namespace vandrel
