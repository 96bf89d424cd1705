#include "tiling/out_of_core.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include <unistd.h>

#include "core/finite.h"
#include "core/neighbourhood_check.h"
#include "core/parameters.h"
#include "host/native_host.h"
#include "vandrel/error.h"

namespace vandrel {
namespace {

// Rows read at a time: 3 MiB of points.
constexpr std::int64_t block_rows = std::int64_t{1} << 18;
// A bin record: the row (8 bytes), then x, y, z.
constexpr std::size_t record_bytes = sizeof(std::int64_t) + sizeof(Point);
// Shares of the memory budget: the planning sample at most 1/64, the bins' buffers 1/4.
constexpr std::int64_t sample_share = 64;
constexpr std::int64_t buffer_share = 4;
// Bytes a sample point takes while the tiles are planned (the point, its row, the halo pass).
constexpr std::int64_t sample_point_bytes = 40;
constexpr std::int64_t min_sample_points = 1 << 16;
constexpr std::size_t min_buffer_records = 256;
constexpr std::size_t max_buffer_records = 1 << 16;
constexpr int max_cells_per_axis = 32;

// Reads the cloud block by block, reporting `stage` and stopping when asked to.
void for_each_block(const RowFile& cloud, const DenoiseOptions& options, std::string_view stage,
                    const std::function<void(std::int64_t first, std::span<const Point> block)>& visit) {
  std::vector<Point> block;
  for (std::int64_t first = 0; first < cloud.rows; first += block_rows) {
    report_progress(options, stage, first, cloud.rows);
    block.resize(static_cast<std::size_t>(std::min(block_rows, cloud.rows - first)));
    read_rows(cloud, first, block);
    visit(first, block);
  }
  report_progress(options, stage, cloud.rows, cloud.rows);
}

// The tiles whose halo may hold a point, by a coarse grid over the cloud's bounds: each
// cell lists the tiles whose box, widened by the halo and a cell, meets it.
class TileIndex {
 public:
  TileIndex(const std::vector<TileBox>& tiles, const Point& lo, const Point& hi, double halo) : lo_(lo) {
    const auto per_axis = static_cast<int>(std::ceil(std::cbrt(static_cast<double>(tiles.size())) * 2.0));
    cells_ = std::clamp(per_axis, 1, max_cells_per_axis);
    for (std::size_t c = 0; c < 3; ++c) {
      const double extent = static_cast<double>(hi[c]) - lo[c];
      width_[c] = extent > 0.0 ? extent / cells_ : 1.0;
    }
    lists_.resize(static_cast<std::size_t>(cells_ * cells_ * cells_));
    for (std::size_t t = 0; t < tiles.size(); ++t) {
      std::array<int, 3> first{}, last{};
      for (std::size_t c = 0; c < 3; ++c) {
        first[c] = cell_of(static_cast<double>(tiles[t].lo[c]) - halo, c) - 1;
        last[c] = cell_of(static_cast<double>(tiles[t].hi[c]) + halo, c) + 1;
        first[c] = std::max(first[c], 0);
        last[c] = std::min(last[c], cells_ - 1);
      }
      for (int i = first[0]; i <= last[0]; ++i)
        for (int j = first[1]; j <= last[1]; ++j)
          for (int k = first[2]; k <= last[2]; ++k) lists_[index(i, j, k)].push_back(static_cast<std::int32_t>(t));
    }
  }

  const std::vector<std::int32_t>& candidates(const Point& p) const {
    return lists_[index(cell_of(p[0], 0), cell_of(p[1], 1), cell_of(p[2], 2))];
  }

 private:
  int cell_of(double value, std::size_t axis) const {
    const double cell = std::floor((value - lo_[axis]) / width_[axis]);
    return static_cast<int>(std::clamp(cell, -1.0, static_cast<double>(cells_)));
  }
  std::size_t index(int i, int j, int k) const {
    const auto clamp = [this](int v) { return static_cast<std::size_t>(std::clamp(v, 0, cells_ - 1)); };
    const auto n = static_cast<std::size_t>(cells_);
    return (clamp(i) * n + clamp(j)) * n + clamp(k);
  }

  Point lo_;
  std::array<double, 3> width_{};
  int cells_ = 1;
  std::vector<std::vector<std::int32_t>> lists_;
};

// Each tile's points, in row order, as blocks of records in one scratch file.
class Bins {
 public:
  Bins(const std::filesystem::path& directory, std::size_t tiles, std::size_t buffer_records)
      : file_(directory), buffer_records_(buffer_records), buffers_(tiles), blocks_(tiles) {}

  void add(std::size_t tile, std::int64_t row, const Point& p) {
    std::vector<char>& buffer = buffers_[tile];
    if (buffer.empty()) buffer.reserve(buffer_records_ * record_bytes);
    const std::size_t at = buffer.size();
    buffer.resize(at + record_bytes);
    std::memcpy(buffer.data() + at, &row, sizeof row);
    std::memcpy(buffer.data() + at + sizeof row, p.data(), sizeof(Point));
    if (buffer.size() == buffer_records_ * record_bytes) flush(tile);
  }

  void flush_all() {
    for (std::size_t t = 0; t < buffers_.size(); ++t) {
      flush(t);
      buffers_[t] = {};  // the buffers' memory goes back before the tiles run
    }
  }

  void read(std::size_t tile, std::vector<std::int64_t>& rows, std::vector<Point>& points) const {
    rows.clear();
    points.clear();
    std::vector<char> bytes;
    for (const Block& b : blocks_[tile]) {
      bytes.resize(b.bytes);
      read_bytes(file_.fd(), b.offset, b.bytes, bytes.data());
      for (std::size_t at = 0; at < bytes.size(); at += record_bytes) {
        std::int64_t row = 0;
        Point p{};
        std::memcpy(&row, bytes.data() + at, sizeof row);
        std::memcpy(p.data(), bytes.data() + at + sizeof row, sizeof(Point));
        rows.push_back(row);
        points.push_back(p);
      }
    }
  }

 private:
  struct Block {
    std::uint64_t offset;
    std::size_t bytes;
  };
  void flush(std::size_t tile) {
    std::vector<char>& buffer = buffers_[tile];
    if (buffer.empty()) return;
    write_bytes(file_.fd(), end_, buffer.size(), buffer.data());
    blocks_[tile].push_back({end_, buffer.size()});
    end_ += buffer.size();
    buffer.clear();
  }

  ScratchFile file_;
  std::size_t buffer_records_;
  std::uint64_t end_ = 0;
  std::vector<std::vector<char>> buffers_;
  std::vector<std::vector<Block>> blocks_;
};

// The rows, ascending, and points of the finite points within `halo` of a box, read from the cloud.
void read_tile(const RowFile& cloud, const TileBox& box, double halo, const DenoiseOptions& options,
               std::vector<std::int64_t>& rows, std::vector<Point>& points) {
  rows.clear();
  points.clear();
  for_each_block(cloud, options, "reading a tile again", [&](std::int64_t first, std::span<const Point> block) {
    for (std::size_t i = 0; i < block.size(); ++i) {
      if (!finite(block[i]) || !within_halo(block[i], box, halo)) continue;
      rows.push_back(first + static_cast<std::int64_t>(i));
      points.push_back(block[i]);
    }
  });
}

// Writes the owned points of a tile to the result (which holds every row already).
void write_owned(const RowFile& result, std::span<const std::int64_t> rows, std::span<const std::uint8_t> owned,
                 std::span<const Point> filtered) {
  write_records(result.fd, sizeof(Point), rows, owned,
                [&](std::size_t k, char* record) { std::memcpy(record, filtered[k].data(), sizeof(Point)); });
}

// What the first pass leaves each row, kept in a scratch file of records (x, y, z, noise)
// at the row's place, the whole file's length made at once.
class FirstPassFile {
 public:
  FirstPassFile(const std::filesystem::path& directory, std::int64_t rows) : file_(directory) {
    if (::ftruncate(file_.fd(), static_cast<off_t>(rows) * static_cast<off_t>(sizeof(Record))) != 0)
      throw Error("Vandrel:scratchFile", std::string("cannot make a scratch file for the first pass: ") +
                                             std::strerror(errno));
  }

  void keep(std::span<const std::int64_t> rows, std::span<const std::uint8_t> owned, std::span<const Point> positions,
            std::span<const float> noise) {
    write_records(file_.fd(), sizeof(Record), rows, owned, [&](std::size_t k, char* record) {
      const Record values{positions[k][0], positions[k][1], positions[k][2], noise[k]};
      std::memcpy(record, values.data(), sizeof(Record));
    });
  }

  void fetch(std::span<const std::int64_t> rows, std::vector<Point>& positions, std::vector<float>& noise) {
    positions.resize(rows.size());
    noise.resize(rows.size());
    read_records(file_.fd(), sizeof(Record), rows, [&](std::size_t k, const char* record) {
      Record values;
      std::memcpy(values.data(), record, sizeof(Record));
      positions[k] = {values[0], values[1], values[2]};
      noise[k] = values[3];
    });
  }

 private:
  using Record = std::array<float, 4>;

  ScratchFile file_;
};

// What the first pass over a cloud learns.
struct Survey {
  std::vector<Point> sample;  // the finite points of every stride-th row
  std::int64_t stride = 1;
  std::int64_t finite_rows = 0;
  Point lo{}, hi{};  // the finite points' bounds
};

// One pass over the cloud: its survey, with a sample of at most about `sample_cap` points;
// the rows are copied to `copy` on the way when it is given.
Survey survey(const RowFile& cloud, std::int64_t sample_cap, const RowFile* copy, const DenoiseOptions& options) {
  Survey found;
  found.stride = std::max<std::int64_t>(1, (cloud.rows + sample_cap - 1) / sample_cap);
  for_each_block(cloud, options, "planning", [&](std::int64_t first, std::span<const Point> block) {
    if (copy != nullptr) write_rows(*copy, first, block);
    for (std::size_t i = 0; i < block.size(); ++i) {
      const Point& p = block[i];
      if (!finite(p)) continue;
      if (found.finite_rows == 0) found.lo = found.hi = p;
      for (std::size_t c = 0; c < 3; ++c) {
        found.lo[c] = std::min(found.lo[c], p[c]);
        found.hi[c] = std::max(found.hi[c], p[c]);
      }
      ++found.finite_rows;
      if ((first + static_cast<std::int64_t>(i)) % found.stride == 0) found.sample.push_back(p);
    }
  });
  return found;
}

// The neighbourhood check's probes: the finite points of the ranks it names.
std::vector<Point> probes_of(const RowFile& cloud, std::int64_t finite_rows, const DenoiseOptions& options) {
  const std::vector<std::int64_t> ranks = NeighbourhoodCheck::probe_ranks(finite_rows);
  std::vector<Point> probes;
  if (options.allow_large_neighbourhoods || ranks.empty()) return probes;
  std::int64_t rank = 0;
  for_each_block(cloud, options, "checking", [&](std::int64_t, std::span<const Point> block) {
    for (const Point& p : block) {
      if (!finite(p)) continue;
      if (probes.size() < ranks.size() && rank == ranks[probes.size()]) probes.push_back(p);
      ++rank;
    }
  });
  return probes;
}

// Bins every finite point into each tile whose initial halo holds it, and counts the
// probes' neighbours on the way.
void bin_points(const RowFile& cloud, const TilePlan& plan, const Survey& cloud_survey, NeighbourhoodCheck& check,
                Bins& bins, const DenoiseOptions& options) {
  const double halo = tile_halo(plan, initial_reach(plan), 1);
  const TileIndex index(plan.tiles, cloud_survey.lo, cloud_survey.hi, halo);
  const int threads = threads_for(options);
  for_each_block(cloud, options, "binning", [&](std::int64_t first, std::span<const Point> block) {
    check.count(block, threads);
    for (std::size_t i = 0; i < block.size(); ++i) {
      const Point& p = block[i];
      if (!finite(p)) continue;
      for (const std::int32_t t : index.candidates(p)) {
        if (within_halo(p, plan.tiles[static_cast<std::size_t>(t)], halo))
          bins.add(static_cast<std::size_t>(t), first + static_cast<std::int64_t>(i), p);
      }
    }
  });
  bins.flush_all();
}

}  // namespace

TilingRun denoise_out_of_core(const RowFile& cloud, const RowFile& result, float sigma, float density,
                           const DenoiseOptions& options, const TileOptions& tiling,
                           const std::filesystem::path& scratch) {
  check_parameters(sigma, density, options.names);
  if (!options.selection.empty())
    throw Error("Vandrel:invalidArgument",
                "a selection of rows is not taken out of core: filter the selected rows in memory (denoise_tiled)");
  if (tiling.tile_points < 0)
    throw Error("Vandrel:invalidTileSize", "A tile must own at least 1 point, but tile_points is " +
                                               std::to_string(tiling.tile_points) + ".");
  check_thread_count(options.threads);  // before the long passes
  // A tile owning more points than the cloud has is the whole cloud (and the budget below
  // stays within range).
  const std::int64_t capacity = tiling.tile_points > 0 ? std::min(tiling.tile_points, std::max<std::int64_t>(cloud.rows, 1))
                                                       : tile_points_for_memory(tiling.memory_bytes);
  const std::int64_t budget = capacity * tile_bytes_per_point;

  Survey cloud_survey = survey(cloud, std::max(min_sample_points, budget / sample_share / sample_point_bytes), &result, options);
  // Any plan gives the same bits: tiles of about the capacity asked are planned on the sample.
  const std::int64_t sample_capacity = std::max<std::int64_t>(1, capacity / cloud_survey.stride);
  TilePlan plan = plan_tiles(cloud_survey.sample, sigma, density, sample_capacity,
                             tiling.tile_points > 0 ? 0 : sample_capacity, options.names);
  plan.read_limit = tiling.tile_points > 0 ? 0 : capacity;  // planned on the sample, read from the cloud
  if (plan.tiles.size() > 1 && within_one_halo(plan, cloud_survey.lo, cloud_survey.hi)) {
    constexpr float infinity = std::numeric_limits<float>::infinity();
    plan.tiles = {TileBox{{-infinity, -infinity, -infinity}, {infinity, infinity, infinity}}};
  }
  if (plan.tiles.size() > 1) announce_plan(plan, cloud_survey.sample, cloud_survey.stride, sigma, density, tiling);
  cloud_survey.sample = {};
  // Nothing to filter (no finite point, or copies of one point): the result is the cloud.
  if (cloud_survey.finite_rows == 0 || cloud_survey.lo == cloud_survey.hi) return {};

  NeighbourhoodCheck check(plan.scale, probes_of(cloud, cloud_survey.finite_rows, options));
  const std::size_t tiles = plan.tiles.size();
  const auto buffer_records = std::clamp<std::size_t>(
      static_cast<std::size_t>(budget / buffer_share / static_cast<std::int64_t>(tiles * record_bytes)),
      min_buffer_records, max_buffer_records);
  Bins bins(scratch, tiles, buffer_records);
  bin_points(cloud, plan, cloud_survey, check, bins, options);
  if (!options.allow_large_neighbourhoods) check.judge();

  // The bins hold each tile's points within the initial halo, the same for both passes.
  const double binned_halo = tile_halo(plan, initial_reach(plan), 1);
  const auto read = [&](std::size_t tile, const TileBox& box, double halo, bool again, std::vector<std::int64_t>& rows,
                        std::vector<Point>& points) {
    // The bins hold the whole tile read with the initial halo; a wider halo, or a part of
    // a tile cut as it runs, is read from the cloud.
    if (again || halo > binned_halo) {
      read_tile(cloud, box, halo, options, rows, points);
    } else {
      bins.read(tile, rows, points);
    }
  };
  FirstPassFile first_pass(scratch, cloud.rows);
  const FirstPassStore store{
      [&](std::span<const std::int64_t> rows, std::span<const std::uint8_t> owned, std::span<const Point> positions,
          std::span<const float> noise) { first_pass.keep(rows, owned, positions, noise); },
      [&](std::span<const std::int64_t> rows, std::vector<Point>& positions, std::vector<float>& noise) {
        first_pass.fetch(rows, positions, noise);
      }};
  const auto write = [&](std::span<const std::int64_t> rows, std::span<const std::uint8_t> owned,
                         std::span<const Point> filtered) { write_owned(result, rows, owned, filtered); };
  return run_tiles(plan, cloud_survey.finite_rows, sigma, density, options, read, store, write);
}

std::vector<Point> cloud_region(const RowFile& cloud, std::int64_t points, std::vector<std::int64_t>* rows) {
  if (rows) rows->clear();
  const DenoiseOptions quiet;
  const Survey cloud_survey = survey(cloud, std::max<std::int64_t>(min_sample_points, points / 16), nullptr, quiet);
  if (cloud_survey.sample.empty()) return {};
  // Any valid sigma and density: the boxes of the bisection do not depend on them.
  const std::vector<Point>& sample = cloud_survey.sample;
  const TilePlan plan = plan_tiles(sample, 0.0f, 1.0f, std::max<std::int64_t>(1, points / cloud_survey.stride));
  const Point middle = sample[sample.size() / 2];
  const auto box = std::find_if(plan.tiles.begin(), plan.tiles.end(), [&](const TileBox& b) { return b.holds(middle); });
  std::vector<Point> region;
  for_each_block(cloud, quiet, "sampling", [&](std::int64_t first, std::span<const Point> block) {
    for (std::size_t i = 0; i < block.size(); ++i) {
      if (!finite(block[i]) || !box->holds(block[i])) continue;
      region.push_back(block[i]);
      if (rows) rows->push_back(first + static_cast<std::int64_t>(i));
    }
  });
  return region;
}

}  // namespace vandrel
