#pragma once
#include <cstdint>
#include <filesystem>
#include <vector>

#include "tiling/scratch_file.h"
#include "tiling/tiling.h"
#include "vandrel/options.h"

namespace vandrel {

/// Filtering a cloud larger than memory: the cloud and the result stay in files, and one
/// tile at a time is held, so the result is the one denoise_tiled gives, bit for bit.
///
/// The cloud is read a block of rows at a time, in three passes: the first copies it to
/// the result (rows no tile owns, those with a non-finite coordinate, stay as they are)
/// and draws every s-th row as a sample, on which the tiles are planned as plan_tiles
/// plans a cloud held whole (any plan gives the same bits; the sample only has to be even
/// enough for tiles of about the size asked); the second picks the neighbourhood check's
/// probes; the third bins every finite point, with the initial halo, into each tile that
/// reads it (bins are blocks of a scratch file, appended as tiles' buffers fill, in row
/// order) and counts the probes' neighbours. Each tile is then read from its bins and run
/// by filter_tile; a tile whose halo proves too narrow is read again from the cloud with
/// the wider one it asks for. Its owned points are written to the result.
///
/// Working memory: the tile at work (see TileOptions), the sample (at most a 64th of the
/// budget) and the bins' buffers (at most a quarter of it).
///   cloud    the cloud, `rows` points
///   result   a file for the result; cloud.rows rows are written to it
///   scratch  the directory of the bins' scratch file (beside the output, say)
/// Returns what the run took (see TilingRun).
/// Progress comes as stages "planning", "checking", "binning", then each tile's own
/// stages as "tile k/T: " + stage. Throws what denoise_tiled throws, vandrel::Error
/// "Vandrel:scratchFile" when a file cannot be read or written, and "Vandrel:invalidArgument"
/// for an options.selection that is not empty (a selection is filtered in memory).
TilingRun denoise_out_of_core(const RowFile& cloud, const RowFile& result, float sigma, float density,
                  const DenoiseOptions& options = {}, const TileOptions& tiling = {},
                  const std::filesystem::path& scratch = std::filesystem::temp_directory_path());

/// The finite points of one compact region of the cloud, about `points` of them (all of
/// them when the cloud has fewer): what a cloud too large to hold gives the estimators of
/// sigma and density. The region is a box of the median bisection of an even sample, the
/// one holding the sample's middle row. Reads the cloud twice. Throws like read_rows.
///   rows  out  when given, the rows of the region's points, ascending
std::vector<Point> cloud_region(const RowFile& cloud, std::int64_t points, std::vector<std::int64_t>* rows = nullptr);

}  // namespace vandrel
