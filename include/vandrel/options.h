#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace vandrel {

/// More threads than this are refused ("Vandrel:invalidThreads"): a typing error rather
/// than a machine, and OpenMP's runtime fails on absurd counts.
inline constexpr int max_threads = 1024;

/// Where a run stands: `done` of `total` units of `stage`, one of "pass 1", "pass 2" and
/// "merge" (points); tiled runs and runs out of core add their own stages.
struct Progress {
  std::string_view stage;
  std::int64_t done;
  std::int64_t total;
};

/// How a caller names the filter's two parameters in its messages: the C++ library says
/// "sigma" and "density", the command line "--sigma" and "--density", Python "sigma=" and
/// "density=".
struct ParameterNames {
  std::string_view sigma = "sigma";
  std::string_view density = "density";
};

struct DenoiseOptions {
  /// Threads for the per-point loops and the searches, 0 to max_threads; 0 takes OpenMP's default.
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
  /// The names the error messages give sigma and density.
  ParameterNames names;
  /// Which rows to filter: empty filters every row; else one value per row, nonzero to
  /// filter it. The rows it leaves out come back as given, bit for bit, and are nobody's
  /// neighbours: the result is that of filtering the selected rows alone, as a cloud.
  /// A selection of another length is refused ("Vandrel:invalidArgument"). The caller
  /// keeps the values alive for the call.
  std::span<const std::uint8_t> selection;
};

}  // namespace vandrel
