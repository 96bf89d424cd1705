#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "vandrel/vandrel.h"
#include "io/point_stream.h"

namespace vandrel {

/// What a run from disk is given beside the files.
struct StreamedRun {
  std::optional<float> sigma;    // estimated when empty
  std::optional<float> density;  // estimated when empty
  std::int64_t memory_limit = 0;  // bytes; 0: tiles of 1 GiB of working memory
  std::int64_t tile_points = 0;   // points a tile owns, at most; 0: sized by the memory
  DenoiseOptions options;         // progress also gets the stages "reading" and "writing"
  std::function<void(const std::string&)> print;  // the run's own lines
};

/// The line that says how many rows have a non-finite coordinate (count > 0).
std::string non_finite_rows_line(std::int64_t count);

/// Whether a .npy or .las file of `file_bytes` bytes should be filtered from disk under
/// `limit` bytes: when reading it whole (the file's bytes, and about 60 bytes for each of
/// its rows, of which there are at most file_bytes / 12, for the coordinates and the copies
/// the filter and writer make) would take more than half the limit, leaving tiles so small
/// that their halos would be most of the work.
bool needs_streaming(std::uintmax_t file_bytes, std::int64_t limit);

/// Filters the cloud of `input` into `output` (a path, or "-" for standard output) in its
/// format, holding a tile at a time: the coordinates go to a scratch file beside the output,
/// the result to another, and the output is written from the input and the result in row
/// order. Scratch files have no name, so no exit leaves them behind. Sigma and density, when
/// not given, are estimated on a compact region of about a million points (see
/// cloud_region). Throws what denoise_out_of_core and PointStream throw.
void run_streamed(const PointStream& input, const std::string& output, const StreamedRun& run);

}  // namespace vandrel
