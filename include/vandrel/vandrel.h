#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "vandrel/error.h"
#include "vandrel/options.h"
#include "vandrel/point.h"
#include "vandrel/version.h"

namespace vandrel {

/// Denoises a point cloud.
///   points   N points as x, y, z triples (row-major N x 3, the layout of numpy, PCL and
///            Open3D), N < 2^31; rows with a NaN coordinate are returned unchanged
///   sigma    noise standard deviation in the cloud's units, finite and >= 0
///   density  points per unit area, finite and > 0 (the cloud is scaled by its square root)
/// Returns the filtered points in the same row order. Rows with a NaN or infinite
/// coordinate come back unchanged, and so do the rows options.selection leaves out. Throws
/// vandrel::Error (identifier and message) on invalid arguments ("Vandrel:invalidThreads" for a thread count outside 0 to 1024, and
/// those of filter_cloud in core/pipeline.h). Reentrant; the bits of the result depend
/// neither on the thread count nor on the x86-64 machine.
std::vector<Point> denoise(std::span<const Point> points, float sigma, float density, const DenoiseOptions& options = {});

/// The centre of the bounding box of the finite points (extent_centre on each axis; 0 for a
/// cloud without finite points): what double-precision clouds are moved by before the
/// single-precision filter, in every front end.
PointD bounding_box_centre(std::span<const PointD> points);

/// Denoises points given in double precision: they are moved by bounding_box_centre (in double) before the single-precision filter and moved back
/// after (with options.selection, the centre of the selected rows: the result is that of
/// the selected rows alone), so that a cloud far from the origin keeps its detail. Rows the filter leaves in
/// place (NaN or infinite coordinates, clouds too small to filter) come back bit for bit.
/// Throws vandrel::Error "Vandrel:outOfRange" when a recentred coordinate does not fit in
/// single precision, and whatever the single-precision denoise throws.
std::vector<PointD> denoise(std::span<const PointD> points, float sigma, float density,
                            const DenoiseOptions& options = {});

/// Denoises a cloud whose noise varies from point to point (a depth camera's noise grows
/// with range): as denoise above, with `sigmas` holding one noise standard deviation per
/// row, in the cloud's units, finite and >= 0 on every finite row (values of non-finite
/// rows are not read). Each point's noise level starts at its own sigma; the filter's
/// neighbourhoods are sized for the largest. An array whose values are all one sigma gives
/// the bits of denoise(points, sigma, density, options). With options.selection, the
/// values of the selected rows go with them. Throws "Vandrel:invalidSigma" for another
/// count of values or a value out of range (naming the row), and what denoise throws.
std::vector<Point> denoise(std::span<const Point> points, std::span<const float> sigmas, float density,
                           const DenoiseOptions& options = {});

/// The per-point sigma denoise for points given in double precision, recentred as the
/// double-precision denoise above does.
std::vector<PointD> denoise(std::span<const PointD> points, std::span<const float> sigmas, float density,
                            const DenoiseOptions& options = {});

/// The rows of `points` that `selection` selects (see DenoiseOptions::selection), in
/// order; every row for an empty selection: the cloud a selected run filters, and what its
/// parameters are estimated from. Throws "Vandrel:invalidArgument" for a selection of
/// another length.
std::vector<Point> selected_points(std::span<const Point> points, std::span<const std::uint8_t> selection);

}  // namespace vandrel
