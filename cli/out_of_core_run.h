#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "vandrel/options.h"
#include "io/point_stream.h"

namespace vandrel {

/// What a run out of core is given beside the files.
struct OutOfCoreRun {
  std::optional<float> sigma;    // estimated when empty
  std::optional<float> density;  // estimated when empty
  std::int64_t memory_limit = 0;  // bytes; 0: tiles of 1 GiB of working memory
  std::int64_t tile_points = 0;   // points a tile owns, at most; 0: sized by the memory
  DenoiseOptions options;         // progress also gets the stages "reading" and "writing"
  std::function<void(const std::string&)> print;  // the run's own lines
};

/// The line that says how many rows have a non-finite coordinate (count > 0).
std::string non_finite_rows_line(std::int64_t count);

/// Filters the cloud of `input` into `output` (a path, or "-" for standard output) in its
/// format, holding a tile at a time: the coordinates go to a scratch file beside the output,
/// the result to another, and the output is written from the input and the result in row
/// order. Scratch files have no name, so no exit leaves them behind. Sigma and density, when
/// not given, are estimated on a compact region of about a million points (see
/// cloud_region), or on its ground of a classified LAS file (see resolve_parameters). Ends
/// by printing how many points moved. Throws what denoise_out_of_core and PointStream throw.
void run_out_of_core(const PointStream& input, const std::string& output, const OutOfCoreRun& run);

}  // namespace vandrel
