#pragma once
#include <span>

#include "core/point_normals.h"
#include "tiling/tiling.h"
#include "vandrel/options.h"
#include "vandrel/point.h"

namespace vandrel {

struct FilterOutputs;

/// The normals and curvatures a run over the whole cloud gives (block_normals over its
/// filtered block), bit for bit, found tile by tile: each tile of `plan` fits its own points
/// over the filtered positions within a halo that holds their 400 nearest (read again, wider,
/// when one of them reaches further), then the sizes are chosen against the whole cloud's
/// medians and the signs set over the whole cloud. Holds about 190 bytes per finite point
/// (every point's five fits, the 12 neighbours the propagate rule spreads along, its
/// position) besides one tile's neighbour lists.
///   cloud      N points as filtered (their boxes' owners: finite rows only), row-major
///   filtered   N filtered positions scaled by plan.scale, as the filter leaves them
///   normals, curvature  N entries each; the finite rows are written (NaN when the cloud
///              has fewer than 50 finite points), the others left as they are
/// A viewpoint target is in the cloud's units. Deterministic, whatever the thread count.
void tile_normals(std::span<const Point> cloud, std::span<const Point> filtered, const TilePlan& plan,
                  const NormalSign& orientation, const DenoiseOptions& options, std::span<Point> normals,
                  std::span<float> curvature);

/// The outlier measures a first pass over the whole cloud records (FilterOutputs with
/// outlier_measures: first_move, isolation, spread, move_around), bit for bit, found tile by
/// tile over each tile's own points' 51 nearest input positions (a halo of 8 point spacings,
/// read again wider when one reaches further), in two sweeps: every point's mean distances,
/// then what its neighbours' make of its own.
///   cloud            N points as filtered, row-major; non-finite rows are not measured
///   first_positions  N positions the first pass leaves (scaled by plan.scale; finite rows)
///   outputs          reset for N rows with outlier_measures; the finite rows are written
/// when the cloud has 50 finite points or more. Deterministic.
void tile_outlier_measures(std::span<const Point> cloud, std::span<const Point> first_positions,
                           const TilePlan& plan, float sigma, float density, const DenoiseOptions& options,
                           FilterOutputs& outputs);

}  // namespace vandrel
