#pragma once
#include <cstdint>
#include <string>

#include "tiling/tiling.h"

namespace vandrel {

/// A memory size as the command line takes it: a whole number of bytes with an optional
/// suffix K, M, G or T (powers of 1024, either case, optionally followed by "B" or "iB"):
/// "512M", "2G", "1.5G", "1000000". Returns 0 for text that is not such a size.
std::int64_t parse_memory_size(const std::string& text);

/// The tiling that keeps a run's peak resident memory under `limit` bytes, given what the
/// process holds already (the resident memory now) and what it still sets aside beside the
/// tiles (`more_bytes`). A cloud of `points` points that fits the limit as one block, beside
/// the resident memory and `block_more_bytes`, is filtered as one block (block_memory_bytes).
/// Throws vandrel::Error "Vandrel:memoryLimit" when it does not and too little is left for a
/// tile of a useful size, naming the limit that would do.
TileOptions tile_options_for_limit(std::int64_t limit, std::int64_t more_bytes, std::int64_t points = 0,
                                   std::int64_t block_more_bytes = 0);

/// The line a tiled run prints before its tiles run: how many times each pass will filter
/// a point, halos included, and, above cheap_factor, the memory limit that would bring it
/// there (the tiles' memory it names, plus what this process holds and `more_bytes`, as
/// tile_options_for_limit counts them).
std::string tiling_cost_line(const TilingCost& cost, std::int64_t more_bytes);

/// Refuses a tiled run whose tiles cannot keep `limit` (TilingCost::memory_needed), naming
/// the limit that would do, as tiling_cost_line counts it: throws vandrel::Error
/// "Vandrel:memoryLimit".
void check_tiles_fit(const TilingCost& cost, std::int64_t limit, std::int64_t more_bytes);

/// Refuses, before `path` (a PCD file, which is read whole) is read, a memory limit that
/// reading it, filtering it and writing it back cannot keep: the peak is estimated from
/// the file's size and header (for binary_compressed data, the unpacked size the file
/// declares). Throws vandrel::Error "Vandrel:memoryLimit" naming the limit that would do,
/// and "Vandrel:badPcdFile" for a malformed header.
void check_pcd_limit(const std::string& path, std::int64_t limit);

/// The resident memory of this process, in bytes (0 where /proc is not available).
std::int64_t resident_bytes();

}  // namespace vandrel
