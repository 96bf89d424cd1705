#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/host.h"
#include "vandrel/point.h"

namespace vandrel {

/// How the sign of each normal is chosen (a fitted plane gives only a line).
struct NormalSign {
  enum class Rule {
    /// Consistent over each connected part of the cloud: its highest point (largest z, then
    /// first in block order) faces +z, and the sign spreads along the 50-nearest-neighbour
    /// graph through the most nearly parallel normals first (Hoppe et al. 1992: a minimum
    /// spanning tree of the weights 1 - |n_i . n_j|). Outward on closed objects.
    propagate,
    /// Every normal faces `target`, a point (the sensor: PCD VIEWPOINT), in block coordinates.
    viewpoint,
    /// Every normal has a non-negative component along `target`, a direction (0, 0, 1: up,
    /// for airborne LiDAR).
    direction,
  };
  Rule rule = Rule::propagate;
  Point target{0.0f, 0.0f, 1.0f};
};

/// The normals of a block's final positions.
struct BlockNormals {
  std::vector<Point> normals;     // unit vectors, oriented by the rule
  std::vector<float> curvature;   // surface variation l3 / (l1 + l2 + l3) of the chosen fit, 0 to 1/3
};

/// The normal of every point of a block of at least 50 points, fitted to `points` (the
/// filtered positions): at each of the neighbourhood sizes k = 25, 50, 100, 200 and 400, the
/// normal at the point of the quadric height field fitted over its k nearest neighbours in
/// their principal frame (unbiased on curved surfaces, unlike a plane's); the point takes the
/// largest k reached by steps each of which turns the normal by at most 4 times the cloud's
/// median turn at that step. Large neighbourhoods average the noise away on smooth surfaces;
/// near sharp edges and fine detail, where the larger fits turn, the point keeps a small one.
/// The curvature is the surface variation of the chosen neighbourhood's scatter. Blocks of
/// fewer than 50 points get NaN. Then oriented by `orientation`.
/// Deterministic: the bits do not depend on the thread count.
BlockNormals block_normals(Host& host, std::span<const Point> points, const NormalSign& orientation);

}  // namespace vandrel
