#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "vandrel/options.h"
#include "vandrel/point.h"

namespace vandrel {

/// How a run is made, decided alike by every front end: its parameters, given or estimated,
/// and whether the cloud is filtered whole, in tiles held in memory, or out of core (kept in
/// scratch files, a tile at a time in memory).

/// The points of the one compact region a cloud too large to hold gives the estimators:
/// at most a million, and at most a quarter of the points a tile reads (`tile_points`), since
/// the region is held with the estimators' own arrays.
std::int64_t estimation_region_points(std::int64_t tile_points);

struct Parameters {
  float sigma = 0.0f;
  float density = 0.0f;
  bool sigma_estimated = false;
  bool density_estimated = false;
  /// What the estimates were made from when not all the points given: "the 12345 points
  /// of class 2"; empty otherwise.
  std::string estimated_from;
};

/// Sigma and density for a run over `points` (a cloud held whole, or one region of a larger
/// one): those given, checked ("Vandrel:invalidSigma", "Vandrel:invalidDensity", calling
/// them by `names`), the others estimated, the density first (see vandrel/estimate.h).
/// Estimates outside what the estimators hold for stop the run before any filtering, with
/// "Vandrel:untrustedEstimate" saying what was measured and which of `names` to pass:
///  - an estimated sigma above 2 point spacings, sigma * sqrt(density) > 2 (the density
///    given or estimated): the points are not one noisy surface (canopy, several layers);
///  - an estimated sigma of exactly 0 on a cloud whose points spread measurably off their
///    surface: at least one in ten of the wide neighbourhoods of surface_spread lie off
///    their plane (depths quantised in steps wider than the noise);
///  - an estimated density that one number cannot describe: the local densities of
///    density_spread (<vandrel/estimate.h>) spread more than 100-fold between their 10th and
///    90th percentiles.
/// Given parameters are trusted as they are.
Parameters resolve_parameters(std::span<const Point> points, std::optional<float> sigma, std::optional<float> density,
                              const ParameterNames& names = {});

/// The fewest points of one class that the estimators are given in place of the whole cloud.
/// Small: a LiDAR tile of a thousand points holds a hundred or two of ground, and even so few
/// read the scanner's noise far better than the whole tile, whose trees and roofs read as
/// noise several times larger.
inline constexpr std::int64_t min_class_points = 100;

/// resolve_parameters for a classified cloud: `classes` holds the class of each point (LAS
/// classification; empty: none). When at least min_class_points finite points are of class
/// 2 (ground), else of class 6 (building), sigma and density are estimated from them alone,
/// and estimated_from names them: surfaces whose noise the scanner sets, rather than the
/// spread of vegetation. Which points are then filtered is the caller's choice (see
/// <vandrel/scan_defaults.h>). Throws
/// "Vandrel:invalidArgument" when `classes` is neither empty nor one per point.
Parameters resolve_parameters(std::span<const Point> points, std::span<const std::uint8_t> classes,
                              std::optional<float> sigma, std::optional<float> density,
                              const ParameterNames& names = {});

/// resolve_parameters for a classified cloud of several flight lines: `lines` holds the
/// flight line of each point (LAS point_source_id; empty: none). Sigma is then estimated
/// line by line (estimate_sigma_by_line, <vandrel/scan_defaults.h>) among the points chosen
/// as above; the density from those points together, the cloud the filter sees. Throws
/// "Vandrel:invalidArgument" when `lines` is neither empty nor one per point.
Parameters resolve_parameters(std::span<const Point> points, std::span<const std::uint8_t> classes,
                              std::span<const std::uint16_t> lines, std::optional<float> sigma,
                              std::optional<float> density, const ParameterNames& names = {});

/// The points of `after` (a filter's result) that moved from `before`, row by row: those
/// whose coordinates differ in any bit (NaN rows count as unmoved).
std::int64_t points_moved(std::span<const Point> before, std::span<const Point> after);

/// Why a filter over `points` with `sigma` leaves every point where it is, as a line ending
/// a run that moved nothing: no finite points, fewer than 50, all of them in one place, a
/// sigma of 0; empty when none of these holds.
std::string why_nothing_moved(std::span<const Point> points, float sigma);

enum class RunMode { whole, tiles, out_of_core };

struct RunRequest {
  std::int64_t memory_limit = 0;  // bytes; 0: no limit
  std::int64_t tile_points = 0;   // points a tile owns, at most; 0: tiles sized by the memory
  bool out_of_core = false;       // asked for
  int threads = 0;                // checked: 0 to max_threads
};

/// Whether a cloud file of `file_bytes` bytes (NPY or LAS, 12 bytes a row or more) read whole
/// would take more than half of `limit` bytes: the file's bytes and about 60 bytes for each
/// row, for the coordinates and the copies the filter and writer make. Tiles would then be
/// so small that their halos were most of the work.
bool too_large_to_hold(std::uintmax_t file_bytes, std::int64_t limit);

/// How a run is made: out of core when asked, or when `file_bytes`, the size of a cloud file
/// that can be filtered out of core (empty for others), is too large to hold under the memory
/// limit; in tiles held in memory under a memory limit or a tile size; else whole. Refuses a
/// thread count out of range ("Vandrel:invalidThreads").
RunMode choose_run_mode(const RunRequest& request, std::optional<std::uintmax_t> file_bytes);

}  // namespace vandrel
