#pragma once
#include <cstdint>
#include <functional>
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

/// A point's surface fit at one neighbourhood size.
struct NormalFit {
  Point normal;     // unit normal at the point
  float curvature;  // surface variation of the neighbourhood
};

/// How many neighbourhood sizes (25, 50, 100, 200, 400) normals are fitted at in a block of
/// `points` points: those the block holds; 0 below 50 points (no normals).
std::size_t normal_scale_count(std::size_t points);

/// The largest neighbourhood size of `scales` (> 0) sizes.
std::int32_t largest_normal_scale(std::size_t scales);

/// Receives one point's fits: its index in the block, its fit at each size (smallest
/// first), the 12 nearest others the sign spreads along (empty unless spreading), and its
/// nearest-neighbour list (largest_normal_scale rows, nearest first). Called from worker
/// threads, once per point.
using NormalFitSink = std::function<void(std::size_t point, std::span<const NormalFit> fits,
                                         std::span<const std::int32_t> spread, std::span<const std::int32_t> nearest)>;

/// The fits of block_normals for the points `wanted` (ascending block indices; every point
/// when empty) at `scales` sizes (1 to 5, each at most the block's size), over their nearest
/// among all of `points`. A point's fits depend only on its nearest-neighbour list, so a part
/// of a cloud that holds those lists gives a point the bits the whole cloud gives it.
void fit_normals(Host& host, std::span<const Point> points, std::size_t scales, bool spreading,
                 std::span<const std::int32_t> wanted, const NormalFitSink& keep);

/// The normals block_normals gives, from every point's fits (point-major, `scales` a point)
/// and, for the propagate rule, the 12 nearest others of each point (point-major, block
/// indices): the size is chosen against the medians over all the points, then the signs.
/// Deterministic; `threads` share the per-point work.
BlockNormals choose_normals(std::span<const Point> points, std::span<const NormalFit> fits, std::size_t scales,
                            std::span<const std::int32_t> spread, const NormalSign& orientation, int threads);

/// The normal of every point of a block of at least 50 points, fitted to `points` (the
/// filtered positions): at each of the neighbourhood sizes k = 25, 50, 100, 200 and 400, the
/// normal at the point of the quadric height field fitted over its k nearest neighbours, all
/// sizes in the principal frame of the 25 nearest (unbiased on curved surfaces, unlike a
/// plane's); the point takes the largest k reached by steps each of which turns the normal by
/// at most 8 times the cloud's median turn at that step and at most 4 degrees. Large
/// neighbourhoods average the noise away on smooth surfaces; near sharp edges and fine
/// detail, where the larger fits turn, the point keeps a small one. The curvature is the
/// surface variation of the chosen neighbourhood's scatter. Blocks of fewer than 50 points
/// get NaN. Then oriented by `orientation`.
/// Deterministic: the bits do not depend on the thread count.
BlockNormals block_normals(Host& host, std::span<const Point> points, const NormalSign& orientation);

}  // namespace vandrel
