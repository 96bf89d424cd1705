#pragma once
// Fixed-size numbers stored in a byte buffer, in either byte order.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "vandrel/point.h"

namespace vandrel {

/// The value of type T whose bytes start at `p`, little-endian when `little` is true and
/// big-endian otherwise. T is an arithmetic type; `p` need not be aligned.
template <class T>
T load_value(const char* p, bool little) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, p, sizeof(T));
  if (little != (std::endian::native == std::endian::little)) std::reverse(bytes, bytes + sizeof(T));
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

/// Writes `value` over the sizeof(T) bytes at `p`, in the byte order `load_value` reads.
template <class T>
void store_value(char* p, T value, bool little) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  if (little != (std::endian::native == std::endian::little)) std::reverse(bytes, bytes + sizeof(T));
  std::memcpy(p, bytes, sizeof(T));
}

/// Gives `size` bytes of a file from byte `at`, a range that lies within the file: how a
/// format's layout is parsed from a file in memory and from one read a block at a time.
using ReadFileBytes = std::function<std::string(std::uint64_t at, std::size_t size)>;

/// Whether a filtered coordinate is the value the file held, rounded to single (NaN
/// matches NaN): such a coordinate keeps its bytes, so that points the filter leaves
/// alone come back exactly as they were, even where the file holds more precision.
inline bool is_unchanged(float original, float filtered) {
  return std::bit_cast<std::uint32_t>(original) == std::bit_cast<std::uint32_t>(filtered) ||
         (original != original && filtered != filtered);
}

/// The least and the most value met on each of the three axes, NaN ignored: fed a value at
/// a time, so that a cloud read a block at a time gets the same extents as one read whole.
struct Extents {
  std::array<double, 3> least{std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::infinity()};
  std::array<double, 3> most{-std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()};

  void add(std::size_t axis, double value) {
    if (std::isnan(value)) return;
    least[axis] = std::min(least[axis], value);
    most[axis] = std::max(most[axis], value);
  }
  /// Whether `axis` has met a value other than NaN.
  bool has(std::size_t axis) const { return least[axis] <= most[axis]; }
  /// extent_centre of `axis`, as every front end centres double-precision clouds; 0 for an axis of NaNs.
  double centre(std::size_t axis) const { return has(axis) ? extent_centre(least[axis], most[axis]) : 0.0; }
};

/// The centre of the extents of each axis of `values` (column-major n x 3) whose
/// `is_double` is set, NaN ignored; 0 for the other axes and for an axis of NaNs. Files that
/// hold double coordinates give the filter their values minus this centre, so that clouds
/// far from zero keep their detail in single precision.
inline std::array<double, 3> centre_of_doubles(const std::vector<double>& values, std::array<bool, 3> is_double) {
  std::array<double, 3> centre{};
  const std::size_t n = values.size() / 3;
  Extents extents;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (!is_double[axis]) continue;
    for (std::size_t i = 0; i < n; ++i) extents.add(axis, values[axis * n + i]);
    centre[axis] = extents.centre(axis);
  }
  return centre;
}

/// The origin of a cloud read from decimal text or PLY values: per axis, the centre of the
/// extents of `values` (column-major n x 3, NaN ignored) where that centre lies farther from
/// zero than 16 times the cloud's largest extent, else 0 (and 0 for a cloud of one point or
/// of coinciding points, which the filter leaves as they are). A cloud near zero is read as
/// it is (its values spend at most about 5 of single precision's 24 bits on their distance
/// from zero), and gives the same results as the other front ends do for the same single-
/// precision values; a cloud far from zero (georeferenced coordinates) keeps its detail in
/// single precision.
inline std::array<double, 3> origin_when_far(const std::vector<double>& values) {
  constexpr double near_in_extents = 16.0;
  const std::array<double, 3> centre = centre_of_doubles(values, {true, true, true});
  const std::size_t n = values.size() / 3;
  double largest_extent = 0.0;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    for (std::size_t i = 0; i < n; ++i) {
      const double value = values[axis * n + i];
      if (!std::isnan(value)) largest_extent = std::max(largest_extent, std::abs(value - centre[axis]) * 2);
    }
  }
  std::array<double, 3> origin{};
  for (std::size_t axis = 0; axis < 3; ++axis)
    if (largest_extent > 0.0 && std::abs(centre[axis]) > near_in_extents * largest_extent) origin[axis] = centre[axis];
  return origin;
}

/// A coordinate as the filter sees it: its value minus the origin, rounded to single once.
inline float relative_coordinate(double value, double origin) { return static_cast<float>(value - origin); }

/// Whether a coordinate value, as read in double, fits single precision: it rounds to a
/// finite float (NaN passes).
inline bool fits_single(double value) { return !std::isinf(static_cast<float>(value)); }

}  // namespace vandrel
