#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "api/error.h"
#include "core/point.h"

namespace vandrel {

/// Library version, as the front ends report it.
inline constexpr const char* version = "1.0.0";

/// Where a run stands: `done` of `total` units of `stage`, one of "pass 1", "pass 2" and
/// "merge" (points).
struct Progress {
  std::string_view stage;
  std::int64_t done;
  std::int64_t total;
};

struct DenoiseOptions {
  /// Threads for the per-point loops and the searches, 0 to 1024; 0 takes OpenMP's default.
  int threads = 0;
  /// Receives the filter's console lines (pass and progress lines); empty discards them.
  std::function<void(std::string_view)> console;
  /// Called on the calling thread as the run goes on, at least once a second of work;
  /// returning false stops the run, which then throws vandrel::Error "Vandrel:cancelled".
  std::function<bool(const Progress&)> progress;
  /// Points estimated at a time; 0 chooses from the neighbourhood size. Changes memory
  /// and speed, never the results.
  std::int64_t chunk_points = 0;
  /// Run even when the parameters give each point more than 20000 neighbours to fit (by
  /// default refused as "Vandrel:hugeNeighbourhood": such runs are very slow and usually
  /// come from a density or sigma in the wrong units).
  bool allow_large_neighbourhoods = false;
};

/// Denoises a point cloud.
///   points   N points as x, y, z triples (row-major N x 3, the layout of numpy, PCL and
///            Open3D), N < 2^31; rows with a NaN coordinate are returned unchanged
///   sigma    noise standard deviation in the cloud's units, finite and >= 0
///   density  points per unit area, finite and > 0 (the cloud is scaled by its square root)
/// Returns the filtered points in the same row order. Rows with a NaN or infinite
/// coordinate come back unchanged. Throws vandrel::Error (identifier and message) on
/// invalid arguments ("Vandrel:invalidThreads" for a thread count outside 0 to 1024, and
/// those of filter_cloud in core/pipeline.h). Reentrant; the bits of the result depend
/// neither on the thread count nor on the x86-64 machine.
std::vector<Point> denoise(std::span<const Point> points, float sigma, float density, const DenoiseOptions& options = {});

/// Points in double precision, such as georeferenced coordinates.
using PointD = std::array<double, 3>;

/// Denoises points given in double precision: they are moved by the centre of their finite
/// points' bounding box (in double) before the single-precision filter and moved back
/// after, so that a cloud far from the origin keeps its detail. Rows the filter leaves in
/// place (NaN or infinite coordinates, clouds too small to filter) come back bit for bit.
/// Throws vandrel::Error "Vandrel:outOfRange" when a recentred coordinate does not fit in
/// single precision, and whatever the single-precision denoise throws.
std::vector<PointD> denoise(std::span<const PointD> points, float sigma, float density,
                            const DenoiseOptions& options = {});

}  // namespace vandrel
