#include "numeric/symmetric_eigen.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace vandrel {
namespace {

using Vector = std::array<double, 3>;

// 2^(exponent - 1023) for a biased double exponent in [1, 2046], built from its bits so that
// no library call is involved.
double power_of_two(std::uint64_t biased_exponent) { return std::bit_cast<double>(biased_exponent << 52); }

std::uint64_t biased_exponent(double x) { return (std::bit_cast<std::uint64_t>(x) >> 52) & 0x7ffu; }

// Rounds v to single and flips both copies so that the component of largest magnitude of
// the rounded vector is positive (the first of equal magnitudes decides). Deciding on the
// rounded vector makes the rule hold for what the caller sees.
void orient(Vector& v, std::array<float, 3>& rounded) {
  for (int i = 0; i < 3; ++i) rounded[i] = static_cast<float>(v[i]);
  int largest = 0;
  for (int i = 1; i < 3; ++i) {
    if (std::fabs(rounded[i]) > std::fabs(rounded[largest])) largest = i;
  }
  if (rounded[largest] < 0.0f) {
    for (int i = 0; i < 3; ++i) {
      v[i] = -v[i];
      rounded[i] = -rounded[i];
    }
  }
}

}  // namespace

SymmetricEigen symmetric_eigen_3x3(const std::array<float, 9>& a) {
  const std::array<float, 6> upper = {a[0], a[4], a[8], a[7], a[6], a[3]};
  float largest = 0.0f;
  for (const float x : upper) {
    if (!std::isfinite(x)) {
      constexpr float nan = std::numeric_limits<float>::quiet_NaN();
      return {{nan, nan, nan}, {nan, nan, nan, nan, nan, nan, nan, nan, nan}};
    }
    if (std::fabs(x) > largest) largest = std::fabs(x);
  }
  if (largest == 0.0f) return {{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f}};

  // Scale by a power of two (exact: every single value, subnormals included, is a normal
  // double) so that the largest entry lies in [1, 2). Entries then stay below 6 in magnitude
  // and the thresholds below are absolute.
  const std::uint64_t exponent = biased_exponent(static_cast<double>(largest));
  const double scale = power_of_two(2046u - exponent);
  const double unscale = power_of_two(exponent);

  // diagonal[k] is a(k,k); off[k] is the entry between the two indices other than k, so that
  // the pair (p, q) and its third index r find a(p,q) = off[r], a(r,p) = off[q], a(r,q) = off[p].
  std::array<double, 3> diagonal;
  std::array<double, 3> off;
  for (int k = 0; k < 3; ++k) {
    diagonal[k] = static_cast<double>(upper[k]) * scale;
    off[k] = static_cast<double>(upper[3 + k]) * scale;
  }
  std::array<Vector, 3> columns = {Vector{1.0, 0.0, 0.0}, Vector{0.0, 1.0, 0.0}, Vector{0.0, 0.0, 1.0}};

  // An off-diagonal entry is dropped once it cannot change either diagonal entry beside it
  // (relative 2^-60, below double rounding), or is below 2^-900 of the largest entry, far
  // below anything a single result can show. Dropping such an entry moves the eigenvalues by
  // at most its size; it also keeps theta = (a(q,q) - a(p,p)) / (2 a(p,q)) finite.
  constexpr double relative_negligible = 0x1p-60;
  constexpr double absolute_negligible = 0x1p-900;
  // Beyond this |theta|, theta^2 + 1 rounds to theta^2, so t = 1 / (2 theta) is the same
  // rotation and theta^2 cannot overflow.
  constexpr double large_theta = 0x1p60;
  // Cyclic Jacobi converges quadratically; 3 x 3 matrices need about five sweeps. The cap
  // only bounds the loop.
  constexpr int max_sweeps = 32;
  constexpr int pairs[3][3] = {{0, 1, 2}, {0, 2, 1}, {1, 2, 0}};  // p, q, r: fixed order decides the bits

  for (int sweep = 0; sweep < max_sweeps; ++sweep) {
    if (off[0] == 0.0 && off[1] == 0.0 && off[2] == 0.0) break;
    for (const auto& pair : pairs) {
      const int p = pair[0];
      const int q = pair[1];
      const int r = pair[2];
      const double apq = off[r];
      if (apq == 0.0) continue;
      const double magnitude = std::fabs(apq);
      if (magnitude < absolute_negligible || (magnitude <= relative_negligible * std::fabs(diagonal[p]) &&
                                              magnitude <= relative_negligible * std::fabs(diagonal[q]))) {
        off[r] = 0.0;
        continue;
      }
      // The smaller rotation angle (|t| <= 1) of the classic symmetric 2 x 2 Schur step.
      const double theta = (diagonal[q] - diagonal[p]) / (2.0 * apq);
      double t;
      if (std::fabs(theta) > large_theta) {
        t = 0.5 / theta;
      } else {
        const double sign = theta < 0.0 ? -1.0 : 1.0;
        t = sign / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
      }
      const double c = 1.0 / std::sqrt(t * t + 1.0);
      const double s = t * c;
      const double tau = s / (1.0 + c);

      diagonal[p] -= t * apq;
      diagonal[q] += t * apq;
      off[r] = 0.0;
      const double arp = off[q];
      const double arq = off[p];
      off[q] = arp - s * (arq + tau * arp);
      off[p] = arq + s * (arp - tau * arq);
      for (int i = 0; i < 3; ++i) {
        const double vp = columns[p][i];
        const double vq = columns[q][i];
        columns[p][i] = vp - s * (vq + tau * vp);
        columns[q][i] = vq + s * (vp - tau * vq);
      }
    }
  }

  std::array<float, 3> rounded;
  for (int k = 0; k < 3; ++k) rounded[k] = static_cast<float>(diagonal[k] * unscale);
  // Insertion sort by decreasing magnitude; strict comparison keeps equal magnitudes in
  // diagonal order.
  std::array<int, 3> order = {0, 1, 2};
  for (int i = 1; i < 3; ++i) {
    for (int j = i; j > 0 && std::fabs(rounded[order[j]]) > std::fabs(rounded[order[j - 1]]); --j) {
      std::swap(order[j], order[j - 1]);
    }
  }

  SymmetricEigen result;
  std::array<std::array<float, 3>, 3> frame;
  Vector first = columns[order[0]];
  Vector second = columns[order[1]];
  orient(first, frame[0]);
  orient(second, frame[1]);
  const Vector third = {first[1] * second[2] - first[2] * second[1], first[2] * second[0] - first[0] * second[2],
                        first[0] * second[1] - first[1] * second[0]};
  for (int i = 0; i < 3; ++i) frame[2][i] = static_cast<float>(third[i]);
  for (int k = 0; k < 3; ++k) {
    result.values[k] = rounded[order[k]];
    for (int i = 0; i < 3; ++i) result.vectors[3 * k + i] = frame[k][i];
  }
  return result;
}

}  // namespace vandrel
