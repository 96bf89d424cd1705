#pragma once
#include <cstdint>
#include <vector>

#include "core/filter_outputs.h"

namespace vandrel {

/// What makes a point an outlier, given what a first pass over the cloud measured.
struct OutlierRule {
  /// Farther than this from where the first pass put it, in noise levels: a point off the
  /// surface its neighbours' accepted fits agree on (a near-surface outlier, a flying pixel,
  /// an airborne return among ground points) is pulled much farther than Gaussian noise is.
  float move_limit = 4.5f;
  /// ... and by more than this many times the median move of its 50 nearest neighbours:
  /// where every point moves far (vegetation, which no plane fits) none is flagged for it.
  float move_contrast = 5.0f;
  /// ... and, where its offset (below) is measured, more than this many noise levels from
  /// the plane of its 50 nearest others: a surface point beside a small cluster is pulled
  /// far by the cluster's fits while it lies on its neighbours' plane.
  float move_offset = 1.0f;
  /// A mean distance to its 8 nearest neighbours above this many times that of the densest
  /// tenth of its 50 nearest neighbours: a point with too little support to be pulled at all
  /// (isolated, or in a sparse veil of mixed pixels) beside a surface.
  float isolation_factor = 3.0f;
  /// ... but only for a point more than this many noise levels off the surface, by the mean
  /// of its first-pass move and its offset (below), where that offset is measured: a gap in
  /// a surface's own sampling leaves a point on the surface with few near neighbours.
  float isolation_offset = 3.0f;
  /// A mean distance to its 50 nearest neighbours (the points its frame is fitted to) above
  /// this many times that of the densest tenth of them: a small cluster off the surface,
  /// whose points are close to each other but whose frames reach out to the surface.
  float spread_factor = 2.0f;

  /// The same comparison as isolation_factor, but with the densest reference of any point
  /// within veil_reach times the point's own 8-neighbour mean distance, at veil_factor: a
  /// veil of mixed pixels between two depth layers, whose 50 nearest neighbours are other
  /// veil points, lies within a few of its own spacings of a surface many times denser. A
  /// surface that is merely sparse (a depth camera's far wall) has no such surface within reach.
  float veil_reach = 6.0f;
  float veil_factor = 6.0f;
  /// Points are linked to those of their group_neighbours nearest that lie within
  /// group_link times the larger of the two 8-neighbour mean distances; a linked group of
  /// fewer than group_points points (fewer than a frame is fitted to) beside a larger one
  /// is a cluster off the surface, however dense it is inside.
  std::int32_t group_neighbours = 16;
  float group_link = 2.0f;
  std::int32_t group_points = 50;
  /// Farther than offset_limit noise levels from the plane of its 50 nearest others (their
  /// principal axes), and more than offset_contrast times the root mean square of the same
  /// over those 50: a point off the surface, measured against a plane it does not pull as it
  /// pulls its own first-pass fits. Where the plane bends away from the surface (edges, fine
  /// detail, vegetation) or the noise is larger than the cloud's (far parts of a depth image)
  /// every point's offset grows alike and none is flagged for it.
  float offset_limit = 4.0f;
  float offset_contrast = 5.0f;
  /// Both of the above at once, each weaker: the first-pass move and the offset both over
  /// joint_each noise levels, their mean over joint_limit and over joint_contrast times the
  /// mean of move_around and offset_around. Two estimates of one distance off the surface
  /// that agree are surer than either: a point 5 noise levels off a curved surface, which
  /// each measures at 4 to 4.5, is found without flagging the surface's own tail.
  float joint_each = 4.0f;
  float joint_limit = 4.3f;
  float joint_contrast = 3.0f;
};

/// What the input cloud says of each point's support beyond its 50 nearest neighbours, one
/// value per row (see wider_support in api/wider_support.h, which measures it).
struct WiderSupport {
  std::vector<float> veil;                 // its 8-neighbour mean over the least reference in reach
  std::vector<std::uint8_t> small_group;   // 1 when in a linked group of fewer than group_points
  std::vector<float> offset;               // from the plane of its 50 nearest others, in noise levels
  std::vector<float> offset_around;        // the root mean square offset of those 50
};

/// One flag per row of the measured cloud (FilterOutputs with outlier_measures): 1 for an
/// outlier by `rule`, 0 otherwise and for rows without measures (NaN: not filtered).
/// `wider`, when its vectors are not empty (one value per row), adds the veil, group, offset
/// and joint tests; without it, or where a row's offset is NaN, the isolation test stands alone.
std::vector<std::uint8_t> outlier_flags(const FilterOutputs& measured, const WiderSupport& wider,
                                        const OutlierRule& rule = {});

}  // namespace vandrel
