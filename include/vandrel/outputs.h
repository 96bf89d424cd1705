#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/error.h"
#include "vandrel/options.h"
#include "vandrel/point.h"

namespace vandrel {

/// How the sign of each normal is chosen: a fitted plane gives a line, not a side.
enum class NormalOrientation {
  /// Consistent over each connected part of the cloud: its highest point (largest z) faces
  /// +z and the sign spreads to neighbours through the most nearly parallel normals first
  /// (a minimum spanning tree over the nearest-neighbour graph, Hoppe et al. 1992). Faces
  /// outward on closed objects whose top is convex.
  consistent,
  /// Every normal faces the point OutputRequest::target (the sensor, PCD VIEWPOINT).
  toward_viewpoint,
  /// Every normal has a non-negative component along the direction OutputRequest::target
  /// ((0, 0, 1): up, for airborne LiDAR).
  along_direction,
};

/// The outputs a call asks for beside the filtered points; all off by default.
struct OutputRequest {
  /// The unit normal of each point, from quadric fits to its 25 to 400 nearest filtered
  /// positions (the size chosen per point, docs/outputs.md), and its curvature (surface
  /// variation l3 / (l1 + l2 + l3) of the chosen neighbourhood, 0 on a plane, at most 1/3).
  bool normals = false;
  NormalOrientation orientation = NormalOrientation::consistent;
  /// The viewpoint (in the cloud's coordinates) or the direction of the orientation rule.
  PointD target{0.0, 0.0, 1.0};
  /// Each point's noise level after the first pass, in the cloud's units: the standard
  /// deviation the filter estimates for the point's remaining error along the surface normal.
  bool noise = false;
  /// Flag outliers and leave them out of the filtering: they come back as given and are
  /// nobody's neighbours. A first pass over the whole cloud measures every point; it is an
  /// outlier when that pass moves it by more than 4.5 noise levels and by more than 5 times
  /// the median move of its 50 nearest neighbours (off the surface its neighbours' accepted
  /// fits agree on: near-surface outliers, airborne returns over the ground; not vegetation,
  /// where all points move far), or when it lies more than 4 noise levels and 5 times its
  /// neighbours' own distance from the plane of its 50 nearest others, or when its mean
  /// distance to its 8 nearest neighbours is over 3 times, or to its 50 nearest over 2
  /// times, that of the densest tenth of those 50 neighbours (too little support: isolated
  /// points, small clusters off the surface), or 6 times that of the densest point within 6
  /// of its own spacings (a veil of mixed pixels between two depth layers), or when it is in
  /// a linked group of fewer than 50 points beside a larger one (a cluster off the surface).
  /// docs/outputs.md says how each is measured. Costs a first pass more.
  bool outliers = false;
};

/// The filtered points and what was asked for beside them, one value per row. Rows the
/// filter does not filter (a NaN or infinite coordinate, rows a selection leaves out,
/// clouds of fewer than 50 finite points or of coinciding points) get NaN in every output.
template <class P>
struct DenoiseResultOf {
  std::vector<P> points;          // what denoise returns, bit for bit
  std::vector<Point> normals;     // empty unless requested
  std::vector<float> curvature;   // empty unless normals were requested
  std::vector<float> noise;       // empty unless requested
  std::vector<std::uint8_t> outliers;  // empty unless requested: 1 for an outlier, else 0
};
using DenoiseResult = DenoiseResultOf<Point>;
using DenoiseResultD = DenoiseResultOf<PointD>;

/// denoise, with the outputs `request` asks for. The points are those denoise returns for
/// the same arguments, bit for bit; the outputs do not depend on the thread count.
/// Throws what denoise throws.
DenoiseResult denoise_with_outputs(std::span<const Point> points, float sigma, float density,
                                   const OutputRequest& request, const DenoiseOptions& options = {});

/// The double-precision denoise with outputs (the target of toward_viewpoint in the
/// points' own coordinates).
DenoiseResultD denoise_with_outputs(std::span<const PointD> points, float sigma, float density,
                                    const OutputRequest& request, const DenoiseOptions& options = {});

/// denoise_with_outputs with a noise standard deviation per point (as denoise with
/// `sigmas`): one value per row of `points`. Equal values give the bits of the one-sigma
/// call. Outliers are refused ("Vandrel:invalidArgument"): their move limit is one
/// cloud-wide noise level. Throws what denoise with `sigmas` throws.
DenoiseResult denoise_with_outputs(std::span<const Point> points, std::span<const float> sigmas, float density,
                                   const OutputRequest& request, const DenoiseOptions& options = {});
DenoiseResultD denoise_with_outputs(std::span<const PointD> points, std::span<const float> sigmas, float density,
                                    const OutputRequest& request, const DenoiseOptions& options = {});

struct TileOptions;  // tiling/tiling.h

/// denoise_with_outputs tile by tile (denoise_tiled, tiling/tiling.h): the same points,
/// normals, curvatures, noise levels and outliers as the whole-cloud call, bit for bit, with
/// the working memory of one tile beside about 190 bytes a point for the normals and 160 for
/// the outliers (whose first pass over every tile comes first, as in the whole call).
DenoiseResult denoise_tiled_with_outputs(std::span<const Point> points, float sigma, float density,
                                         const OutputRequest& request, const DenoiseOptions& options,
                                         const TileOptions& tiling);

}  // namespace vandrel
