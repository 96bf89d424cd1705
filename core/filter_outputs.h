#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/host.h"
#include "core/point_normals.h"
#include "vandrel/point.h"

namespace vandrel {

/// What a filter run can give beside the positions, on request (FilterSettings::outputs).
/// Every vector holds one value per row of the cloud; rows outside the filtered block
/// (non-finite rows, blocks of fewer than 50 points) get NaN.
struct FilterOutputs {
  bool normals = false;  // fill `normals` and `curvature`
  /// The orientation rule; a viewpoint `target` is in the cloud's coordinates (a direction
  /// is a direction).
  NormalSign orientation;
  bool noise = false;  // fill `noise`

  std::vector<Point> normal;    // unit normal of the filtered surface at the filtered position
  std::vector<float> curvature; // surface variation of the same fit
  std::vector<float> noise_level;  // the noise level after the first pass, in the cloud's units

  /// Sizes the requested vectors for `rows` rows, all NaN.
  void reset(std::size_t rows);
  /// Records the block's noise levels (scaled by `scale`) for its cloud rows.
  void record_noise(std::span<const std::int32_t> rows, std::span<const float> noise, float scale);
  /// Computes and records the normals of the block's final positions (scaled by `scale`).
  void record_normals(Host& host, std::span<const std::int32_t> rows, std::span<const Point> points, float scale);
};

}  // namespace vandrel
