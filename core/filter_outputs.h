#pragma once
#include <array>
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
  /// Fill `first_move`, `isolation` and `spread`, what outliers are told by; with `first_pass_only`
  /// the run ends after the first pass (its positions are then those of that pass).
  bool outlier_measures = false;
  bool first_pass_only = false;
  /// Fill `position`: what a tiled run fits its normals to.
  bool positions = false;

  std::vector<Point> position;  // the final position scaled by sqrt(density)
  std::vector<Point> normal;    // unit normal of the filtered surface at the filtered position
  std::vector<float> curvature; // surface variation of the same fit
  std::vector<float> noise_level;  // the noise level after the first pass, in the cloud's units
  std::vector<float> first_move;   // how far the first pass moved the point, in input noise levels
  std::vector<float> move_around;  // the median first_move of its 50 nearest neighbours and itself
  /// The mean distance to the point's 8 (isolation) and 50 (spread) nearest block points,
  /// each divided by the same of the densest tenth of those 50 neighbours and itself.
  std::vector<float> isolation;
  std::vector<float> spread;

  /// Sizes the requested vectors for `rows` rows, all NaN.
  void reset(std::size_t rows);
  /// Records what the first pass measured of the block (positions before and after it and
  /// the noise levels it left, all scaled by `scale`; `input_noise` the level it started
  /// from) for its cloud rows.
  void record_first_pass(Host& host, std::span<const std::int32_t> rows, std::span<const Point> before,
                         std::span<const Point> after, std::span<const float> noise, float scale, float input_noise);
  /// Computes and records the normals of the block's final positions (scaled by `scale`),
  /// and records those positions when asked.
  void record_normals(Host& host, std::span<const std::int32_t> rows, std::span<const Point> points, float scale);
};

/// The rows listed for each point's outlier measures: itself and its 50 nearest.
inline constexpr std::int32_t outlier_listed = 51;

/// How far a pass moved a point, in units of `input_noise` (0 when that is 0).
float first_move_of(const Point& before, const Point& after, float input_noise);

/// The mean distance from point k of `points` to the others of its nearest-neighbour
/// `list` (nearest first, itself among them, at least 2 rows): to its 8 nearest, and to all.
/// Summed in list order.
std::array<float, 2> neighbour_mean_distances(std::span<const Point> points, std::size_t k,
                                              std::span<const std::int32_t> list);

/// What outliers are told by, of point k beside its `list` (as above).
struct OutlierMeasures {
  float isolation = 0.0f;    // its 8-neighbour mean over that of the densest tenth of the list
  float spread = 0.0f;       // the same for the mean over all of the list
  float move_around = 0.0f;  // the median first move over the list
};

/// The measures of point k from the means and moves of every listed point (indexed as
/// `list`); `scratch` is reused between calls. Independent of the list's order.
OutlierMeasures outlier_measures_of(std::span<const std::int32_t> list, std::span<const float> near_mean,
                                    std::span<const float> far_mean, std::span<const float> moves, std::size_t k,
                                    std::vector<float>& scratch);

}  // namespace vandrel
