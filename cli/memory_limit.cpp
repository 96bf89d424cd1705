#include "cli/memory_limit.h"

#include <cctype>
#include <cstdio>
#include <charconv>
#include <cmath>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "io/pcd_file.h"
#include "vandrel/error.h"

namespace vandrel {
namespace {

// Below this much memory for the tile at work, the halos would make up most of the work.
constexpr std::int64_t min_tile_bytes = 48 << 20;
// Allocator slack and the output writer's buffers, beside what is counted.
constexpr std::int64_t reserve_bytes = 24 << 20;

// A PCD header is read from this much of the file's start, at most.
constexpr std::size_t pcd_head_bytes = 1 << 20;

std::int64_t mib_up(std::int64_t bytes) { return (bytes + (1 << 20) - 1) >> 20; }

}  // namespace

std::int64_t parse_memory_size(const std::string& text) {
  double value = 0.0;
  const char* end = text.data() + text.size();
  const auto [rest, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || !(value > 0.0)) return 0;
  std::string suffix(rest, end);
  for (char& c : suffix) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  double unit = 1.0;
  if (!suffix.empty() && suffix != "B") {
    const std::string units = "KMGT";
    const std::size_t power = units.find(suffix[0]);
    const std::string tail = suffix.substr(1);
    if (power == std::string::npos || !(tail.empty() || tail == "B" || tail == "IB")) return 0;
    unit = std::pow(1024.0, static_cast<double>(power + 1));
  }
  const double bytes = value * unit;
  if (!(bytes < 9.0e18)) return 0;
  return static_cast<std::int64_t>(bytes);
}

std::int64_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  long long pages_total = 0;
  long long pages_resident = 0;
  if (!(statm >> pages_total >> pages_resident)) return 0;
  return pages_resident * static_cast<std::int64_t>(sysconf(_SC_PAGESIZE));
}

TileOptions tile_options_for_limit(std::int64_t limit, std::int64_t more_bytes, std::int64_t points,
                                   std::int64_t block_more_bytes) {
  const std::int64_t resident = resident_bytes();
  const std::int64_t held = resident + more_bytes + reserve_bytes;
  const std::int64_t left = limit - held;
  // The tile at work needs the filter's fixed working set beside its points.
  const std::int64_t least = min_tile_bytes + chunk_working_bytes;
  TileOptions options;
  if (points > 0) {
    const std::int64_t block_left = limit - resident - block_more_bytes - reserve_bytes;
    if (fits_one_block(points, block_left)) {
      options.block_memory_bytes = block_left;
      options.memory_bytes = std::max(left, least);
      return options;
    }
  }
  if (left < least) {
    const std::int64_t needed_mib = (held + least + (1 << 20) - 1) >> 20;
    throw Error("Vandrel:memoryLimit", "the memory limit of " + std::to_string(limit >> 20) +
                                           " MiB is too small for this cloud held in memory: give at least " +
                                           std::to_string(needed_mib) + "M");
  }
  options.memory_bytes = left;
  return options;
}

std::string tiling_cost_line(const TilingCost& cost, std::int64_t more_bytes) {
  char factor[32];
  std::snprintf(factor, sizeof factor, "%.2f", cost.factor);
  std::string line = "Tiles: " + std::to_string(cost.tiles) + "; each pass filters every point " + factor +
                     " times, halos included";
  if (cost.memory_for_cheap > 0) {
    const std::int64_t limit = cost.memory_for_cheap + resident_bytes() + more_bytes + reserve_bytes;
    char cheap[16];
    std::snprintf(cheap, sizeof cheap, "%.1f", cheap_factor);
    line += "; --memory-limit " + std::to_string(mib_up(limit)) + "M would bring that to " + cheap;
  }
  return line;
}

void check_tiles_fit(const TilingCost& cost, std::int64_t limit, std::int64_t more_bytes) {
  if (cost.memory_needed == 0) return;
  const std::int64_t held = resident_bytes() + more_bytes + reserve_bytes;
  std::string message = "the memory limit of " + std::to_string(limit >> 20) +
                        " MiB is too small for this cloud's tiles: the halo a tile reads around the points it owns "
                        "holds more points than the limit leaves room for, however the tile is cut; give at least " +
                        std::to_string(mib_up(held + cost.memory_needed)) + "M";
  if (cost.memory_for_cheap > cost.memory_needed)
    message += " (" + std::to_string(mib_up(held + cost.memory_for_cheap)) +
               "M for each pass to filter every point at most 1.5 times)";
  throw Error("Vandrel:memoryLimit", message);
}

void check_pcd_limit(const std::string& path, std::int64_t limit) {
  std::error_code ec;
  const auto file_size = std::filesystem::file_size(path, ec);
  if (ec) return;  // reading it says what is wrong
  std::string head(std::min<std::uintmax_t>(file_size, pcd_head_bytes), '\0');
  std::ifstream in(path, std::ios::binary);
  if (!in.read(head.data(), static_cast<std::streamsize>(head.size()))) return;
  PcdShape shape;
  try {
    shape = read_pcd_shape(head, path);
  } catch (const Error&) {
    if (head.size() < file_size) return;  // a header longer than the head: judged when read
    throw;
  }
  // What the reader, the filter's front end and the writer hold, in bytes (see read_pcd,
  // write_pcd and the command line's run): f the file, d its point data, n the points.
  const auto f = static_cast<double>(file_size);
  const auto n = static_cast<double>(shape.points);
  const double d = shape.data == PcdData::binary_compressed ? static_cast<double>(shape.unpacked_bytes)
                   : shape.data == PcdData::binary          ? n * static_cast<double>(shape.point_bytes)
                                                            : f;
  // The coordinates as read (doubles), the cloud's columns, the filter's points, its
  // result and the columns written: 12 bytes a point each but the first (24).
  double reading = 0.0, held = 0.0, writing = 0.0;
  switch (shape.data) {
    case PcdData::binary:
      reading = f + d + 36.0 * n;
      held = d + 12.0 * n;
      writing = 2.0 * d + 36.0 * n;
      break;
    case PcdData::binary_compressed:
      reading = f + d + 36.0 * n;
      held = d + 12.0 * n;
      writing = d * (3.0 + 1.0 / 16.0) + 36.0 * n;
      break;
    case PcdData::ascii:
      // Beside the text, each coordinate's place in it (two 8-byte offsets).
      reading = 2.0 * f + 84.0 * n;
      held = f + 60.0 * n;
      writing = 2.25 * f + 84.0 * n;
      break;
  }
  const double filtering = held + 36.0 * n + static_cast<double>(min_tile_bytes + chunk_working_bytes);
  const double needed = static_cast<double>(resident_bytes() + reserve_bytes) + std::max({reading, filtering, writing});
  if (needed <= static_cast<double>(limit)) return;
  const auto needed_bytes = static_cast<std::int64_t>(std::min(needed, 9.0e18));
  throw Error("Vandrel:memoryLimit",
              "'" + path + "' is read whole (PCD files are not filtered out of core): reading, filtering and writing it "
              "needs about " + std::to_string(mib_up(needed_bytes)) + " MiB, more than the memory limit of " +
              std::to_string(limit >> 20) + " MiB; give at least " + std::to_string(mib_up(needed_bytes)) +
              "M, or convert it to .npy or .las to filter it out of core");
}

}  // namespace vandrel
