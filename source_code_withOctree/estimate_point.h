#pragma once
#include <cstdint>

#include "runtime/Vandrel_types.h"
#include "runtime/host.h"

namespace vandrel {

/// The per-point estimate record of one block: for point i (0-based) and quadrant q
/// (1..4, counter-clockwise from (+u, +v)) the entry at i + N (q - 1) of each array.
/// An empty normal marks a quadrant without an accepted scale; its other entries then
/// hold the zero-scale estimate (the point itself, supported by itself, deviation b(i)).
struct EstimateRecord {
  emxArray_cell_wrap_6* positions;   // N x 4, each a 1 x 3 position
  emxArray_cell_wrap_5* supports;    // N x 4, each the 1-based block rows used, point first
  emxArray_real32_T* deviations;     // N x 4 standard deviations of the estimates
  emxArray_cell_wrap_0* normals;     // N x 4, each empty or the 1 x 3 plane normal (-c1, -c2, 1)
};

/// The read-only inputs of one pass over a block.
struct BlockInputs {
  const emxArray_real32_T* X;              // N x 3 block points
  const emxArray_real32_T* b;              // N noise levels
  const emxArray_cell_wrap_2* neighbours;  // N radius-neighbour rows (1-based, doubles)
  const emxArray_int32_T* nearest;         // N x 50 nearest-neighbour table (1-based)
  float Gamma;                             // ICI threshold
  float r0;                                // maximum half-width of the quadrant boxes
};

/// Working arrays of one thread, created once and reused for all of its points.
class EstimateWorkspace {
 public:
  explicit EstimateWorkspace(Context& ctx);
  ~EstimateWorkspace();
  EstimateWorkspace(const EstimateWorkspace&) = delete;
  EstimateWorkspace& operator=(const EstimateWorkspace&) = delete;

  Context& ctx;
  emxArray_real32_T* P;          // the radius neighbours, n x 3
  emxArray_real32_T* local;      // their local coordinates (u, v, w), n x 3
  emxArray_real32_T* projected;  // P V before the columns are put in axis order
  emxArray_real32_T* centre;     // the point's own local coordinates, 1 x 3
  emxArray_real32_T* candidates; // positions in the list inside the quadrant's r0 box
  emxArray_real32_T* selection;  // the point, then the candidates
  emxArray_real32_T* selected;   // local coordinates of the selection
  emxArray_real32_T* in_box;     // positions in the selection inside the scale's box
  emxArray_real32_T* support_rows;  // the support as positions in the list, the point first
  emxArray_real32_T* support;    // local coordinates of the support
  emxArray_real32_T* centred;    // the support relative to the point
  emxArray_real32_T* kernel;     // 1 x n kernel of the fit
  emxArray_real32_T* spread;     // noise level times kernel weight, per support point
  emxArray_int32_T* list;        // the radius neighbours as int32 rows
};

/// Computes the four quadrant estimates of point i (0-based) by local plane fits at
/// five growing scales, choosing the scale by the intersection of confidence
/// intervals, and writes them into the record entries of point i only. Reports
/// progress every 5000 points. Safe to run for different points on different threads.
void estimate_point(EstimateWorkspace& work, const BlockInputs& in, std::int32_t i, EstimateRecord& record);

/// The frame of point i: the local coordinate frame of its 50 nearest neighbours.
///   V      out  3 x 3 eigenvectors, column-major
///   order  out  1-based columns of V by decreasing eigenvalue magnitude; order[2] is the normal
void point_frame(const BlockInputs& in, std::int32_t i, float V[9], double order[3]);

}  // namespace vandrel
