#include "cli/out_of_core_run.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <vector>

#include "cli/memory_limit.h"
#include "core/finite.h"
#include "io/number_text.h"
#include "io/point_file.h"
#include "tiling/out_of_core.h"
#include "tiling/scratch_file.h"
#include "vandrel/error.h"
#include "vandrel/run_plan.h"

namespace vandrel {
namespace {

// Rows moved between the point file and the scratch files at a time.
constexpr std::int64_t block_rows = std::int64_t{1} << 18;
// Beside the tiles: the blocks in flight and the output writer's buffers.
constexpr std::int64_t buffer_bytes = 16 << 20;

// The classes of `rows` (ascending) of `input`, read a block at a time; empty when the file
// has none.
std::vector<std::uint8_t> classes_of_rows(const PointStream& input, const std::vector<std::int64_t>& rows) {
  std::vector<std::uint8_t> classes;
  std::vector<std::uint8_t> block;
  std::size_t next = 0;
  for (std::int64_t first = 0; first < input.rows() && next < rows.size(); first += block_rows) {
    block.resize(static_cast<std::size_t>(std::min(block_rows, input.rows() - first)));
    if (!input.read_classes(first, block)) return {};
    for (; next < rows.size() && rows[next] < first + static_cast<std::int64_t>(block.size()); ++next)
      classes.push_back(block[static_cast<std::size_t>(rows[next] - first)]);
  }
  return classes;
}

}  // namespace

std::string non_finite_rows_line(std::int64_t count) {
  return std::to_string(count) + (count == 1 ? " row has" : " rows have") + " a non-finite coordinate and pass" +
         (count == 1 ? "es" : "") + " through unchanged";
}

void run_out_of_core(const PointStream& input, const std::string& output, const OutOfCoreRun& run) {
  const std::filesystem::path directory =
      output == "-" ? std::filesystem::current_path() : std::filesystem::absolute(output).parent_path();
  const std::int64_t rows = input.rows();
  ScratchFile coordinates(directory);
  ScratchFile filtered(directory);
  const RowFile cloud{coordinates.fd(), rows};
  const RowFile result{filtered.fd(), rows};

  std::vector<Point> block;
  std::int64_t not_finite = 0;
  for (std::int64_t first = 0; first < rows; first += block_rows) {
    report_progress(run.options, "reading", first, rows);
    block.resize(static_cast<std::size_t>(std::min(block_rows, rows - first)));
    input.read(first, block);
    not_finite += std::count_if(block.begin(), block.end(), [](const Point& p) { return !finite(p); });
    write_rows(cloud, first, block);
  }
  report_progress(run.options, "reading", rows, rows);
  block = {};
  if (not_finite > 0) run.print(non_finite_rows_line(not_finite));

  TileOptions tiling = run.memory_limit > 0 ? tile_options_for_limit(run.memory_limit, buffer_bytes) : TileOptions{};
  tiling.tile_points = run.tile_points;
  tiling.planned = [&](const TilingCost& cost) {
    check_tiles_fit(cost, run.memory_limit, buffer_bytes);
    run.print(tiling_cost_line(cost, buffer_bytes));
  };
  Parameters parameters{run.sigma.value_or(0.0f), run.density.value_or(0.0f), false, false};
  if (!run.sigma || !run.density) {
    const std::int64_t points = estimation_region_points(tile_points_for_memory(tiling.memory_bytes));
    std::vector<std::int64_t> region_rows;
    const std::vector<Point> region = cloud_region(cloud, points, &region_rows);
    // A classified LAS file's ground (else buildings) in the region gives the estimates.
    parameters = resolve_parameters(region, classes_of_rows(input, region_rows), run.sigma, run.density,
                                    run.options.names);
    const std::string from = " (from " +
                             (parameters.estimated_from.empty() ? "the " + std::to_string(region.size()) + " points"
                                                                : parameters.estimated_from) +
                             " of one region)";
    if (parameters.density_estimated)
      run.print("Estimated density: " + float9_text(parameters.density) + " points per unit area" + from);
    if (parameters.sigma_estimated) run.print("Estimated sigma: " + float9_text(parameters.sigma) + from);
  }
  const float sigma = parameters.sigma;
  const float density = parameters.density;

  const TilingRun tiled = denoise_out_of_core(cloud, result, sigma, density, run.options, tiling, directory);
  if (tiled.tiles > 0) {
    char share[16];
    std::snprintf(share, sizeof share, "%.2f",
                  static_cast<double>(tiled.points_estimated) / 2.0 / static_cast<double>(rows - not_finite));
    run.print("Filtered " + std::to_string(tiled.tiles) + (tiled.tiles == 1 ? " tile" : " tiles") + " in two passes: " +
              share + " times the cloud a pass, halos included" +
              (tiled.tiles_read_again > 0 ? "; " + std::to_string(tiled.tiles_read_again) + " read again with a wider halo" : "") +
              (tiled.tiles_cut > 0 ? "; " + std::to_string(tiled.tiles_cut) + " cut in two to keep the memory limit" : "") +
              (tiled.overfull_reads > 0 ? "; " + std::to_string(tiled.overfull_reads) + " read more than the memory limit holds (" +
                                              std::to_string(tiled.largest_overfull_read) + " points at most): their halos widened beyond it"
                                        : ""));
  }

  // The writers may read the result more than once: the moves are counted on their own.
  std::int64_t moved = 0;
  {
    std::vector<Point> before, after;
    for (std::int64_t first = 0; first < rows; first += block_rows) {
      const auto count = static_cast<std::size_t>(std::min(block_rows, rows - first));
      before.resize(count);
      after.resize(count);
      read_rows(cloud, first, before);
      read_rows(result, first, after);
      moved += points_moved(before, after);
    }
  }
  const auto rows_of_result = [&](std::int64_t first, std::span<Point> out) {
    report_progress(run.options, "writing", first, rows);
    read_rows(result, first, out);
  };
  if (output == "-") {
    input.write(std::cout, rows_of_result, "<standard output>");
    std::cout.flush();
    if (!std::cout) throw Error("Vandrel:cannotWrite", "cannot write standard output");
  } else {
    replace_file(output, [&](std::ostream& out) { input.write(out, rows_of_result, output); });
  }
  report_progress(run.options, "writing", rows, rows);
  run.print("Moved " + std::to_string(moved) + " of " + std::to_string(rows) + " points");
  if (moved == 0 && sigma == 0.0f) run.print("Not filtered: sigma is 0: no noise to remove");
}

}  // namespace vandrel
