#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/noise_model.h"
#include "vandrel/options.h"
#include "vandrel/point.h"

namespace vandrel {

/// What a run whose parameters are left to estimate filters, by the kind of scan it is given.
/// Why these choices: docs/parameters.md, "What the defaults filter".

/// The parts of a classified airborne LiDAR scan filtered by default, each alone: no point of
/// one is a neighbour of another's.
struct LidarGroups {
  /// 1 for the points of class 2 (ground).
  std::vector<std::uint8_t> ground;
  /// 1 for the last returns of the other surfaces: every class but ground, vegetation (3, 4,
  /// 5), noise (7, 18) and wires and towers (13 to 16). Roads, roofs, bridge decks and water
  /// left unclassified (class 0 or 1) are here; a pulse's earlier returns (canopy, edges,
  /// wires) are not.
  std::vector<std::uint8_t> surfaces;
  std::int64_t ground_points = 0;
  std::int64_t surface_points = 0;
};

/// The default parts of a LAS file whose points carry `classes` (one per point) and
/// `last_return` (1 where a point is its pulse's last return). With fewer than
/// min_class_points finite points of class 2 the scan counts as unclassified: `ground` selects
/// nothing (ground_points 0) and `surfaces` every last return but those of the classes above.
/// Throws "Vandrel:invalidArgument" when the spans are not one value per point.
LidarGroups lidar_groups(std::span<const Point> points, std::span<const std::uint8_t> classes,
                         std::span<const std::uint8_t> last_return);

/// Filters each part `groups` selects (see DenoiseOptions::selection) alone, in turn, with one
/// sigma and density; rows no group selects come back unchanged. The parts must not share a
/// row ("Vandrel:invalidArgument"): each is then filtered as if the others were absent.
std::vector<Point> denoise_groups(std::span<const Point> points, std::span<const std::vector<std::uint8_t>> groups,
                                  float sigma, float density, const DenoiseOptions& options = {});

/// Whether an organised depth image (a grid `height` rows high) with `finite_points` points
/// of finite coordinates gets its noise by range by default (estimate_range_noise about its
/// sensor): a grid of 2 rows or more and at least min_band_points points, as a depth camera
/// writes it. A camera's depth noise grows about as the square of the range; one sigma for
/// the whole image either leaves the far noise or smooths the near detail.
bool range_noise_by_default(std::int64_t height, std::int64_t finite_points);

/// Whether `model` (estimate_range_noise) describes noise that grows with range: at its
/// farthest band's range it is range_growth times or more what it is at its nearest band's.
/// A depth camera's noise does (4 to 9 times between 0.6 and 2.3 m in the depth images of data/real); a
/// cloud whose bands are not ranges from its sensor (an object scanned all round, a scan not in
/// its sensor's frame) reads about one noise in every band. A depth image stored as a list (its
/// NaN pixels dropped: not organised) gets its noise by range by default when this holds.
bool noise_grows_with_range(const RangeNoise& model);
inline constexpr double range_growth = 1.5;
/// How many times `model`'s noise at its farthest band's range is its noise at its nearest
/// band's; 1 for fewer than two bands or a model of no noise.
double noise_growth(const RangeNoise& model);

/// The sigma of a cloud made of several flight lines (`lines`: the point_source_id of each
/// point): estimate_sigma of each line of min_line_points finite points or more, combined by
/// their median weighted by the lines' point counts. Two strips that do not quite coincide
/// (a few centimetres apart) read as one surface whose noise is their offset and their noise
/// together; each alone reads its own noise. With fewer than two such lines, estimate_sigma of
/// all the points. Throws what estimate_sigma throws, and "Vandrel:invalidArgument" when
/// `lines` is not one per point.
float estimate_sigma_by_line(std::span<const Point> points, std::span<const std::uint16_t> lines);
inline constexpr std::int64_t min_line_points = 500;

}  // namespace vandrel
