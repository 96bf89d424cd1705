#pragma once
#include <cmath>
#include <cstdint>

namespace vandrel {

// Scalar mathematics with the host language's semantics, single precision unless the
// name says otherwise. Pure functions: safe on any thread.

inline bool rt_isnan(float x) { return std::isnan(x); }
inline bool rt_isinf(float x) { return std::isinf(x); }
inline bool rt_isnan(double x) { return std::isnan(x); }
inline bool rt_isinf(double x) { return std::isinf(x); }

inline float rt_sqrtf(float x) { return std::sqrt(x); }
inline float rt_absf(float x) { return std::fabs(x); }
inline float rt_powf(float x, float y) { return std::pow(x, y); }
inline float rt_hypotf(float x, float y) { return std::hypot(x, y); }
inline float rt_atan2f(float y, float x) { return std::atan2(y, x); }

/// Minimum that disregards a NaN operand: NaN only when both are NaN.
inline float rt_minf(float a, float b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return b < a ? b : a;
}

/// Maximum that disregards a NaN operand: NaN only when both are NaN.
inline float rt_maxf(float a, float b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return b > a ? b : a;
}

/// Rounds half away from zero, as the host's round() does.
inline double rt_round(double x) { return std::round(x); }

/// Remainder after division with the sign of the dividend, as the host's rem(): NaN
/// for a non-finite x or a zero y; x itself for an infinite y.
inline float rt_remf(float x, float y) {
  if (std::isnan(x) || std::isnan(y) || std::isinf(x) || y == 0.0f) return std::nanf("");
  if (std::isinf(y)) return x;
  return std::fmod(x, y);
}

inline std::int32_t rt_min_int32(std::int32_t a, std::int32_t b) { return b < a ? b : a; }

}  // namespace vandrel
