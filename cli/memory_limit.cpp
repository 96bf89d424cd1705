#include "cli/memory_limit.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>

#include <unistd.h>

#include "vandrel/error.h"

namespace vandrel {
namespace {

// Below this much memory for the tile at work, the halos would make up most of the work.
constexpr std::int64_t min_tile_bytes = 48 << 20;
// Allocator slack and the output writer's buffers, beside what is counted.
constexpr std::int64_t reserve_bytes = 24 << 20;

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

TileOptions tile_options_for_limit(std::int64_t limit, std::int64_t more_bytes) {
  const std::int64_t held = resident_bytes() + more_bytes + reserve_bytes;
  const std::int64_t left = limit - held;
  if (left < min_tile_bytes) {
    const std::int64_t needed_mib = (held + min_tile_bytes + (1 << 20) - 1) >> 20;
    throw Error("Vandrel:memoryLimit", "the memory limit of " + std::to_string(limit >> 20) +
                                           " MiB is too small for this cloud held in memory: give at least " +
                                           std::to_string(needed_mib) + "M");
  }
  TileOptions options;
  options.memory_bytes = left;
  return options;
}

}  // namespace vandrel
