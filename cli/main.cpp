// vandrel: denoises a point cloud file.
#include <csignal>

#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <algorithm>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/field_selection.h"
#include "cli/memory_limit.h"
#include "cli/out_of_core_run.h"
#include "cli/point_noise.h"
#include "cli/progress_view.h"
#include "core/finite.h"
#include "io/byte_values.h"
#include "io/number_text.h"
#include "io/point_field.h"
#include "io/point_fields.h"
#include "io/point_file.h"
#include "tiling/tiling.h"
#include "vandrel/error.h"
#include "vandrel/outputs.h"
#include "vandrel/run_plan.h"
#include "vandrel/scan_defaults.h"
#include "vandrel/vandrel.h"

namespace vandrel {
namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

struct Arguments {
  std::string input;
  std::string output;
  std::optional<float> sigma;
  std::optional<float> density;
  std::optional<std::string> format;
  int threads = 0;
  bool quiet = false;
  bool verbose = false;
  std::int64_t memory_limit = 0;  // bytes; 0: no limit
  bool out_of_core = false;
  std::int64_t tile_points = 0;  // 0: tiles sized by the memory limit
  std::vector<int> classes;        // LAS classes to filter; empty: every class
  std::string returns = "all";     // LAS returns to filter: all, first or last
  bool returns_given = false;      // --returns given (all: every point, not the default parts)
  PointNoiseRequest noise;         // --sigma range, --sigma-field: a sigma per point
  std::optional<FieldSelection> select;  // --select FIELD=V1,V2: points by a field's values
  bool normals = false;            // write each point's normal (and curvature where the format has it)
  std::string noise_field;         // write each point's noise level in a field of this name; empty: not
  bool classify_outliers = false;  // LAS: outliers get class 7 (low point, noise)
  bool remove_outliers = false;    // outliers get NaN coordinates
};

// Whether the run looks for outliers (--classify-outliers, --remove-outliers).
bool finding_outliers(const Arguments& args) { return args.classify_outliers || args.remove_outliers; }

// Whether the run asks the filter for more than the points.
bool writing_outputs(const Arguments& args) {
  return args.normals || !args.noise_field.empty() || finding_outliers(args);
}

// The options that ask for outputs beside the points, as given.
std::string output_options(const Arguments& args) {
  std::vector<std::string> names;
  if (args.normals) names.push_back("--normals");
  if (!args.noise_field.empty()) names.push_back("--write-noise");
  if (args.classify_outliers) names.push_back("--classify-outliers");
  if (args.remove_outliers) names.push_back("--remove-outliers");
  std::string text;
  for (std::size_t k = 0; k < names.size(); ++k) text += (k == 0 ? "" : k + 1 == names.size() ? " and " : ", ") + names[k];
  return text;
}

// The class outliers get in a LAS file: 7, low point (noise).
constexpr std::uint8_t outlier_class = 7;

// Whether the run filters only some of the points (--classes, --returns).
bool selecting(const Arguments& args) { return !args.classes.empty() || args.returns != "all" || args.select; }

// Whether the run selects points by their LAS classification or returns.
bool selecting_las(const Arguments& args) { return !args.classes.empty() || args.returns != "all"; }

// The options that select the points to filter, as given: "--classes 2,6 --returns last".
std::string selection_options(const Arguments& args) {
  std::string text;
  if (!args.classes.empty()) {
    text = "--classes ";
    for (std::size_t k = 0; k < args.classes.size(); ++k) text += (k > 0 ? "," : "") + std::to_string(args.classes[k]);
  }
  if (args.returns != "all") text += (text.empty() ? "" : " ") + std::string("--returns ") + args.returns;
  if (args.select) text += (text.empty() ? "" : " ") + std::string("--select ") + args.select->text;
  return text;
}

// The classes of --classes: a comma-separated list of whole numbers from 0 to 255.
std::vector<int> parse_classes(const std::string& text) {
  std::vector<int> classes;
  std::size_t begin = 0;
  while (true) {
    const std::size_t end = std::min(text.find(',', begin), text.size());
    long long value = 0;
    if (!parse_integer(text.substr(begin, end - begin), value) || value < 0 || value > 255)
      throw CLI::ValidationError("--classes", "'" + text + "' is not a list of LAS classes from 0 to 255, such as 2 or 2,6");
    classes.push_back(static_cast<int>(value));
    if (end == text.size()) return classes;
    begin = end + 1;
  }
}

// The rows --classes and --returns select (1: filter), from a LAS file's classification
// and return numbers: a first return is number 1, a last one the pulse's last (a record
// that leaves them unset, 0, counts as both).
std::vector<std::uint8_t> selected_rows_of(const PointFile& file, const Arguments& args) {
  if (args.select) return rows_with_field_values(file, *args.select, args.input);
  const std::vector<std::uint8_t> classes = point_classes(file);
  const std::vector<LasReturn> returns = point_returns(file);
  std::vector<std::uint8_t> selection(static_cast<std::size_t>(file.size));
  for (std::size_t i = 0; i < selection.size(); ++i) {
    bool chosen = args.classes.empty() ||
                  std::find(args.classes.begin(), args.classes.end(), int{classes[i]}) != args.classes.end();
    if (args.returns == "first") chosen = chosen && returns[i].number <= 1;
    if (args.returns == "last") chosen = chosen && returns[i].number >= returns[i].count;
    selection[i] = chosen ? 1 : 0;
  }
  return selection;
}

// A number option checked as a float: CLI11 would accept values that overflow to infinity.
CLI::Validator float_at_least(float least, bool inclusive) {
  return CLI::Validator(
      [least, inclusive](std::string& text) -> std::string {
        float value = 0.0f;
        if (!parse_float(text, value) || !std::isfinite(value)) return "'" + text + "' is not a finite number";
        if (inclusive ? !(value >= least) : !(value > least))
          return "must be " + std::string(inclusive ? ">= " : "> ") + std::to_string(static_cast<int>(least));
        return {};
      },
      inclusive ? "NONNEGATIVE" : "POSITIVE");
}

CLI::Validator thread_count_check() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        long long value = 0;
        if (!parse_integer(text, value) || value < 0 || value > max_threads)
          return "'" + text + "' is not a thread count from 0 to " + std::to_string(max_threads);
        return {};
      },
      "0.." + std::to_string(max_threads));
}

CLI::Validator point_count() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        long long value = 0;
        if (!parse_integer(text, value) || value < 1) return "'" + text + "' is not a whole number of points, 1 or more";
        return {};
      },
      "POSITIVE");
}

// A signal that ends the program mid-write takes the unfinished output with it.
extern "C" void remove_output_and_reraise(int signal_number) {
  remove_unfinished_output();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void install_signal_handlers() {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal_number, remove_output_and_reraise);
  // Past a file size limit, a write then fails with EFBIG and the error path cleans up.
  std::signal(SIGXFSZ, SIG_IGN);
}

// Rows the filter passes through unchanged: those with a NaN coordinate (the readers refuse infinities).
std::int64_t rows_not_finite(const PointFile& file) {
  std::int64_t count = 0;
  const auto n = static_cast<std::size_t>(file.size);
  for (std::size_t i = 0; i < n; ++i) {
    if (!finite(Point{file.xyz[i], file.xyz[n + i], file.xyz[2 * n + i]})) ++count;
  }
  return count;
}

void print(const Arguments& args, const std::string& line) {
  if (!args.quiet) std::cerr << line << '\n';
}

// How many points the run moved and, when none, why (`filtered`, the points filtered as a
// cloud, holds them as they were).
void report_moved(const Arguments& args, std::int64_t moved, std::int64_t total, std::span<const Point> filtered,
                  float sigma, bool in_parts = false) {
  print(args, "Moved " + std::to_string(moved) + " of " + std::to_string(total) +
                  (selecting(args) ? " selected" : in_parts ? " filtered" : "") + " points");
  if (moved > 0) return;
  if (const std::string why = why_nothing_moved(filtered, sigma); !why.empty()) print(args, "Not filtered: " + why);
}

// The last returns of a LAS file's pulses (a record that leaves its return unset counts as one).
std::vector<std::uint8_t> last_returns(const PointFile& file) {
  const std::vector<LasReturn> returns = point_returns(file);
  std::vector<std::uint8_t> last(returns.size());
  for (std::size_t i = 0; i < returns.size(); ++i) last[i] = returns[i].number >= returns[i].count ? 1 : 0;
  return last;
}

// The flight line of each point of a LAS file (its point_source_id); empty for other formats.
std::vector<std::uint16_t> flight_lines(const PointFile& file, const std::string& source) {
  if (!std::holds_alternative<LasDocument>(file.layout)) return {};
  const std::vector<double> ids = point_field(file, "point_source_id", source);
  std::vector<std::uint16_t> lines(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) lines[i] = static_cast<std::uint16_t>(ids[i]);
  return lines;
}

std::string output_name(const Arguments& args) { return args.output == "-" ? "standard output" : args.output; }

// Where the filter's progress and console lines go: a bar (or plain lines), the filter's
// own lines with --verbose, nothing with --quiet.
DenoiseOptions options_for(const Arguments& args, ProgressView& view) {
  DenoiseOptions options;
  options.threads = args.threads;
  options.names = {"--sigma", "--density"};
  if (args.verbose) {
    options.console = [](std::string_view text) { std::cerr << text << std::flush; };
  } else if (!args.quiet) {
    options.progress = [&view](const Progress& p) {
      view.update(p.stage, p.done, p.total);
      return true;
    };
  }
  return options;
}

// What a run is: the files' formats and how the cloud is filtered.
struct Plan {
  PointFormat input_format;
  PointFormat output_format;
  RunMode mode = RunMode::whole;
};

// What a run whose parameters are estimated filters by default, by the kind of scan (see
// <vandrel/scan_defaults.h>): a classified LiDAR scan in parts, a depth image (organised, or a
// list whose noise grows with range) with noise by range. Runs that choose for themselves (a
// selection, a sigma per point; for LAS files --returns), runs in tiles and runs writing outputs
// beside the points filter as asked.
bool defaults_by_scan(const Arguments& args, const Plan& plan) {
  return !selecting(args) && !args.noise.asked() && plan.mode == RunMode::whole && !writing_outputs(args);
}

// Checks the files' names and formats and chooses how to filter, before anything is read:
// a wrong extension or a refused combination is reported at once.
Plan plan_run(const Arguments& args) {
  const std::optional<PointFormat> given = args.format ? format_named(*args.format) : std::nullopt;
  Plan plan{format_for(args.input, given), format_for(args.output, given)};
  std::error_code ec;
  if (args.input != "-" && args.output != "-" && std::filesystem::exists(args.output, ec) &&
      std::filesystem::equivalent(args.input, args.output, ec))
    throw Error("Vandrel:sameFile", "the output '" + args.output + "' is the input file; name another file");
  if (args.input == "-" && args.out_of_core)
    throw Error("Vandrel:cannotStream", "standard input is read only whole: give --out-of-core a .npy or .las file");
  // A folder that is missing or not writable is reported before the work, not after it.
  if (args.output != "-") check_output_folder(args.output);

  std::optional<std::uintmax_t> file_bytes;
  if (args.input != "-") {
    const std::uintmax_t bytes = std::filesystem::file_size(args.input, ec);
    if (!ec) file_bytes = bytes;
  }
  const bool can_be_out_of_core = args.input != "-" && readable_in_blocks(plan.input_format);
  // A PCD file is read whole: a memory limit it cannot keep is refused from its header.
  if (plan.input_format == PointFormat::pcd && args.input != "-" && args.memory_limit > 0 && !args.out_of_core)
    check_pcd_limit(args.input, args.memory_limit);
  if (!can_be_out_of_core && args.input != "-" &&
      (args.out_of_core || (args.memory_limit > 0 && file_bytes && *file_bytes > static_cast<std::uintmax_t>(args.memory_limit) / 2)))
    throw Error("Vandrel:cannotStream",
                "'" + args.input + "' is " + (args.out_of_core ? "" : "too large for the memory limit when ") +
                    "read whole: only .npy and .las clouds are filtered out of core; convert it to one of them");
  plan.mode = choose_run_mode({args.memory_limit, args.tile_points, args.out_of_core, args.threads},
                              can_be_out_of_core ? file_bytes : std::nullopt);
  if (selecting(args)) {
    // The classes and returns of a point are those of a LAS record.
    if (selecting_las(args) && plan.input_format != PointFormat::las)
      throw Error("Vandrel:cannotSelect", selection_options(args) + " selects points by their LAS classification and returns, but '" +
                                              args.input + "' is not a LAS file");
    // A selection is gathered and filtered in memory.
    if (plan.mode == RunMode::out_of_core)
      throw Error("Vandrel:cannotSelect",
                  selection_options(args) + " is filtered in memory only, not out of core (" +
                      (args.out_of_core ? std::string("--out-of-core")
                                        : "--memory-limit " + std::to_string(args.memory_limit) +
                                              " bytes is too little to hold '" + args.input + "' whole") +
                      "): leave out " + (args.out_of_core ? "--out-of-core" : "the selection or raise --memory-limit"));
  }
  if (args.noise.by_range && !args.noise.sensor && plan.input_format != PointFormat::pcd)
    throw Error("Vandrel:noSensor", "--sigma range measures range from the sensor: give its position with --sensor "
                                    "x,y,z ('" + args.input + "' is not a PCD file, whose VIEWPOINT would give it)");
  if (args.noise.asked() && plan.mode != RunMode::whole)
    throw Error("Vandrel:cannotTile", std::string(args.noise.by_range ? "--sigma range" : "--sigma-field") +
                                          " filters the cloud whole, in memory, not in tiles or out of core: leave out " +
                                          "--tile-points, --out-of-core and --memory-limit");
  // The outputs come from clouds held in memory, whole or in tiles.
  if (writing_outputs(args) && plan.mode == RunMode::out_of_core)
    throw Error("Vandrel:cannotTile", output_options(args) + " " + (output_options(args).find(" and ") != std::string::npos ? "are" : "is") +
                                          " written for clouds held in memory, not out of core: drop --out-of-core, " +
                                          "or raise --memory-limit to hold the cloud");
  if (args.classify_outliers && plan.output_format != PointFormat::las)
    throw Error("Vandrel:cannotClassify", "--classify-outliers sets the LAS class of outliers, but '" + args.output +
                                              "' is not a LAS file: use --remove-outliers");
  if (args.remove_outliers && plan.output_format == PointFormat::las)
    throw Error("Vandrel:cannotRemove", "--remove-outliers gives outliers NaN coordinates, which '" + args.output +
                                            "' (LAS) cannot hold: use --classify-outliers (class 7)");
  if (args.noise.asked() && finding_outliers(args))
    throw Error("Vandrel:invalidArgument", std::string(args.noise.by_range ? "--sigma range" : "--sigma-field") +
                                               " and " + (args.classify_outliers ? "--classify-outliers" : "--remove-outliers") +
                                               " are not taken together: outliers are found with one sigma for the "
                                               "whole cloud");
  if (plan.mode == RunMode::out_of_core && plan.output_format != plan.input_format)
    throw Error("Vandrel:cannotConvert", "cannot write '" + args.input + "' to '" + args.output +
                                             "' in another format: NPY and LAS files are written back only in their own format");
  return plan;
}

// A cloud filtered out of core: read a block of rows at a time into scratch files beside the
// output, filtered a tile at a time, written back in row order.
void run_out_of_core(const Arguments& args, const Plan& plan) {
  print(args, "Reading " + args.input);
  const std::unique_ptr<PointStream> input = read_point_stream(args.input, plan.input_format);
  print(args, "Read " + std::to_string(input->rows()) + " points");

  ProgressView view(std::cerr, isatty(STDERR_FILENO) != 0);
  OutOfCoreRun run;
  run.sigma = args.sigma;
  run.density = args.density;
  run.memory_limit = args.memory_limit;
  run.tile_points = args.tile_points;
  run.options = options_for(args, view);
  run.print = [&](const std::string& line) {
    view.finish();
    print(args, line);
  };
  print(args, "Filtering out of core, in tiles, with scratch files beside the output");
  run_out_of_core(*input, args.output, run);
  view.finish();
  print(args, "Denoised " + std::to_string(input->rows()) + " points into " + output_name(args));
}

// What the run asks of the filter beside the points: normals facing a PCD file's sensor,
// up for LAS (airborne scans), else consistent over the cloud.
OutputRequest output_request(const PointFile& file, const Arguments& args) {
  OutputRequest request;
  request.normals = args.normals;
  request.noise = !args.noise_field.empty();
  request.outliers = finding_outliers(args);
  if (const std::optional<PointD> sensor = sensor_position(file)) {
    request.orientation = NormalOrientation::toward_viewpoint;
    request.target = *sensor;
  } else if (std::holds_alternative<LasDocument>(file.layout)) {
    request.orientation = NormalOrientation::along_direction;
    request.target = {0.0, 0.0, 1.0};
  }
  return request;
}

// Puts the requested outputs into the output's layout (all NaN when `result` holds none:
// nothing was filtered).
void set_output_fields(PointFile& file, const Arguments& args, const DenoiseResult& result, const std::string& name) {
  const auto n = static_cast<std::size_t>(file.size);
  const float nan = std::nanf("");
  std::vector<PointField> fields;
  if (args.normals) {
    const NormalFieldNames names = normal_field_names(file);
    for (std::size_t c = 0; c < 3; ++c) {
      PointField field{names.axes[c], std::vector<float>(n, nan)};
      if (result.normals.size() == n)
        for (std::size_t i = 0; i < n; ++i) field.values[i] = result.normals[i][c];
      fields.push_back(std::move(field));
    }
    if (names.curvature)
      fields.push_back({*names.curvature, result.curvature.size() == n ? result.curvature : std::vector<float>(n, nan)});
  }
  if (!args.noise_field.empty())
    fields.push_back({args.noise_field, result.noise.size() == n ? result.noise : std::vector<float>(n, nan)});
  set_point_fields(file, fields, name);
}

// A cloud held in memory, filtered whole or in tiles.
void run_in_memory(const Arguments& args, const Plan& plan) {
  print(args, "Reading " + (args.input == "-" ? std::string("standard input") : args.input));
  PointFile file = read_point_input(args.input, plan.input_format);
  print(args, "Read " + std::to_string(file.size) + " points");
  // The estimators skip these rows themselves.
  if (const std::int64_t skipped = rows_not_finite(file); skipped > 0) print(args, non_finite_rows_line(skipped));
  convert_layout(file, plan.output_format, args.input, args.output);

  // Point files keep their coordinates column-major; the library takes x, y, z triples.
  const auto n = static_cast<std::size_t>(file.size);
  std::vector<Point> points(n);
  for (std::size_t i = 0; i < n; ++i) points[i] = {file.xyz[i], file.xyz[n + i], file.xyz[2 * n + i]};

  ProgressView view(std::cerr, isatty(STDERR_FILENO) != 0);
  DenoiseOptions options = options_for(args, view);
  // The points --classes and --returns select are the cloud the filter sees; the others
  // are written back as they were.
  std::vector<std::uint8_t> selection;
  std::size_t selected = n;
  if (selecting(args)) {
    selection = selected_rows_of(file, args);
    selected = static_cast<std::size_t>(std::count(selection.begin(), selection.end(), std::uint8_t{1}));
    print(args, "Selected " + std::to_string(selected) + " of " + std::to_string(n) + " points (" +
                    selection_options(args) + ")");
    if (selected == 0) {
      print(args, "Not filtered: " + selection_options(args) + " selects no point");
      if (writing_outputs(args)) {
        DenoiseResult none;
        set_output_fields(file, args, none, output_name(args));
      }
      print(args, "Writing " + output_name(args));
      write_point_output(args.output, file, file.xyz.data(), plan.output_format);
      print(args, "Wrote " + std::to_string(file.size) + " unchanged points into " + output_name(args));
      return;
    }
    options.selection = selection;
  }
  // What the run filters when its parameters are estimated and it chooses nothing itself: a
  // classified LiDAR scan its ground and, apart, its other surfaces' last returns; an
  // unclassified one its last returns; a depth image every point, with noise by range.
  const bool by_scan = defaults_by_scan(args, plan) && (!args.sigma || !args.density);
  std::optional<LidarGroups> groups;
  if (by_scan && plan.input_format == PointFormat::las && !args.returns_given) {
    groups = lidar_groups(points, point_classes(file), last_returns(file));
    if (groups->ground_points == 0) {
      if (groups->surface_points > 0 && groups->surface_points < static_cast<std::int64_t>(n)) {
        selection = std::move(groups->surfaces);
        selected = static_cast<std::size_t>(groups->surface_points);
        options.selection = selection;
        print(args, "Filtering the " + std::to_string(selected) + " last returns of " + std::to_string(n) +
                        " points (no ground class): earlier returns, vegetation, noise and wires are written back as "
                        "they were (--returns all filters every point as one cloud)");
      }
      groups.reset();
    }
  }
  // The selected points, copied only when they are not all of them.
  std::vector<Point> chosen_rows;
  std::span<const Point> chosen = points;
  if (!selection.empty()) chosen = chosen_rows = selected_points(points, selection);
  // A classified LAS file's ground (else buildings) gives the estimates, flight line by flight line.
  std::vector<std::uint8_t> classes = point_classes(file);
  std::vector<std::uint16_t> lines = args.sigma ? std::vector<std::uint16_t>{} : flight_lines(file, args.input);
  if (!selection.empty()) {
    std::erase_if(classes, [&, i = std::size_t{0}](std::uint8_t) mutable { return selection[i++] == 0; });
    std::erase_if(lines, [&, i = std::size_t{0}](std::uint16_t) mutable { return selection[i++] == 0; });
  }
  // A depth image gets its noise by range.
  PointNoiseRequest noise = args.noise;
  DepthImageNoise depth_image;
  if (by_scan && plan.input_format == PointFormat::pcd && !args.sigma) {
    depth_image = depth_image_noise(file, points, static_cast<std::int64_t>(n) - rows_not_finite(file), args.noise,
                                    args.input, [&](const std::string& line) { print(args, line); });
    noise.by_range = depth_image.by_range;
  }
  // With a sigma per point only the density may be left to estimate.
  const std::optional<float> sigma_given = noise.asked() ? std::optional<float>(0.0f) : args.sigma;
  Parameters parameters = resolve_parameters(chosen, classes, lines, sigma_given, args.density, options.names);
  if (parameters.estimated_from.empty() && !selection.empty())
    parameters.estimated_from = "the " + std::to_string(selected) + " selected points";
  chosen = {};
  chosen_rows = {};  // the filter gathers its own
  // Every estimate says what it was made from: a part of the cloud, or all of its finite points.
  const std::string from =
      " (from " +
      (parameters.estimated_from.empty()
           ? "all " + std::to_string(static_cast<std::int64_t>(n) - rows_not_finite(file)) + " points with finite coordinates"
           : parameters.estimated_from) +
      ")";
  if (parameters.density_estimated)
    print(args, "Estimated density: " + float9_text(parameters.density) + " points per unit area" + from);
  if (parameters.sigma_estimated) print(args, "Estimated sigma: " + float9_text(parameters.sigma) + from);
  std::vector<float> sigmas;
  if (noise.asked()) {
    if (!args.noise.asked()) print(args, "Noise by range, " + depth_image.reason + " (--sigma VALUE: one sigma)");
    sigmas = point_noise(file, points, selection, noise, args.input, [&](const std::string& line) { print(args, line); },
                         depth_image.fit);
    parameters.sigma = *std::max_element(sigmas.begin(), sigmas.end());
    if (!args.noise.asked() && parameters.sigma == 0.0f) {
      // No band measured any noise (depths quantised in steps wider than it): one sigma,
      // estimated and checked as any estimate, so that such a cloud is refused, not passed as filtered.
      print(args, "The depth bands measured no noise: one sigma is estimated for the whole cloud");
      sigmas.clear();
      parameters = resolve_parameters(selected_points(points, selection), classes, lines, std::nullopt, args.density,
                                      options.names);
    }
  }
  if (groups) {
    print(args, "Filtering the " + std::to_string(groups->ground_points) + " ground points (class 2) and, apart, the " +
                    std::to_string(groups->surface_points) +
                    " last returns of other surfaces; vegetation, noise, wires and earlier returns are written back "
                    "as they were (--returns all filters every point as one cloud)");
    selected = static_cast<std::size_t>(groups->ground_points + groups->surface_points);
  }

  DenoiseResult result;
  if (plan.mode == RunMode::tiles) {
    // Beside the tiles: the result's copy inside denoise_tiled, what the first pass leaves
    // every point (position and noise) and the column-major output.
    TileOptions tiling;
    const std::size_t tiled_points = selection.empty() ? n : selected;
    // With --normals, every point's fits and neighbours (tile_normals) and the normals out;
    // with outliers, what their measures hold (tile_outlier_measures, and the wider support
    // measured over the whole cloud at once: about 100 bytes a point) and the flags.
    constexpr std::size_t normals_bytes_per_point = 190 + sizeof(Point) + sizeof(float);
    constexpr std::size_t outliers_bytes_per_point = 160;
    const std::size_t outputs_bytes = (args.normals ? normals_bytes_per_point * tiled_points : 0) +
                                      (args.noise_field.empty() ? 0 : sizeof(float) * tiled_points) +
                                      (finding_outliers(args) ? outliers_bytes_per_point * tiled_points : 0);
    const auto beside = static_cast<std::int64_t>(2 * n * sizeof(Point) + (selection.empty() ? 0 : 2 * selected * sizeof(Point)) +
                                                  tiled_points * (sizeof(Point) + sizeof(float)) + outputs_bytes);
    // As one block: the filter's result and the column-major output.
    // The outputs hold about as much in one block as in tiles.
    const auto beside_block = static_cast<std::int64_t>(2 * n * sizeof(Point) + (selection.empty() ? 0 : 2 * selected * sizeof(Point)) +
                                                        outputs_bytes);
    if (args.memory_limit > 0)
      tiling = tile_options_for_limit(args.memory_limit, beside, static_cast<std::int64_t>(tiled_points), beside_block);
    tiling.tile_points = args.tile_points;
    tiling.planned = [&](const TilingCost& cost) {
      check_tiles_fit(cost, args.memory_limit, beside);
      print(args, tiling_cost_line(cost, beside));
    };
    if (writing_outputs(args)) {
      result = denoise_tiled_with_outputs(points, parameters.sigma, parameters.density, output_request(file, args),
                                          options, tiling);
      points = std::move(result.points);
    } else {
      points = denoise_tiled(points, parameters.sigma, parameters.density, options, tiling);
    }
  } else if (!sigmas.empty() && writing_outputs(args)) {
    result = denoise_with_outputs(points, sigmas, parameters.density, output_request(file, args), options);
    points = std::move(result.points);
  } else if (!sigmas.empty()) {
    points = denoise(points, sigmas, parameters.density, options);
  } else if (groups) {
    const std::vector<std::uint8_t> parts[] = {std::move(groups->ground), std::move(groups->surfaces)};
    points = denoise_groups(points, parts, parameters.sigma, parameters.density, options);
  } else if (writing_outputs(args)) {
    result = denoise_with_outputs(points, parameters.sigma, parameters.density, output_request(file, args), options);
    points = std::move(result.points);
  } else {
    points = denoise(points, parameters.sigma, parameters.density, options);
  }
  view.finish();
  std::vector<float> filtered(3 * n);
  std::int64_t moved = 0;
  for (std::size_t i = 0; i < n; ++i) {
    bool same = true;
    for (std::size_t c = 0; c < 3; ++c) {
      filtered[i + n * c] = points[i][c];
      same = same && is_unchanged(file.xyz[i + n * c], points[i][c]);
    }
    if (!same) ++moved;
  }
  if (!selection.empty()) chosen = chosen_rows = selected_points(points, selection);
  else chosen = points;
  report_moved(args, moved, static_cast<std::int64_t>(selected), chosen, parameters.sigma, selected < n);

  if (finding_outliers(args) && result.outliers.size() == n) {
    const auto flagged = std::count(result.outliers.begin(), result.outliers.end(), std::uint8_t{1});
    if (args.classify_outliers) set_las_class(file, result.outliers, outlier_class, output_name(args));
    if (args.remove_outliers) {
      const float nan = std::nanf("");
      for (std::size_t i = 0; i < n; ++i)
        if (result.outliers[i] != 0)
          for (std::size_t c = 0; c < 3; ++c) filtered[i + n * c] = nan;
    }
    print(args, "Outliers: " + std::to_string(flagged) + " of " + std::to_string(selected) +
                    (selection.empty() ? "" : " selected") + " points, " +
                    (args.classify_outliers ? "classified 7 (low point, noise)" : "written with NaN coordinates") +
                    " and left out of the filtering");
  }
  if (writing_outputs(args)) set_output_fields(file, args, result, output_name(args));
  print(args, "Writing " + output_name(args));
  write_point_output(args.output, file, filtered.data(), plan.output_format);
  const std::string filtered_points =
      selection.empty() ? "" : " (" + std::to_string(selected) + " of them selected and filtered)";
  print(args, (moved > 0 ? "Denoised " : "Wrote ") + std::to_string(file.size) + (moved > 0 ? "" : " unchanged") +
                  " points" + (moved > 0 ? filtered_points : "") + " into " + output_name(args));
}

void run(const Arguments& args) {
  const Plan plan = plan_run(args);
  if (plan.mode == RunMode::out_of_core) {
    run_out_of_core(args, plan);
  } else {
    run_in_memory(args, plan);
  }
}

}  // namespace
}  // namespace vandrel

int main(int argc, char** argv) {
  using namespace vandrel;
  Arguments args;
  CLI::App app("Removes noise from a point cloud that samples a surface.\n"
               "Formats by extension: .ply (ascii or binary), .xyz and .txt (whitespace-separated),\n"
               ".csv (comma- or semicolon-separated, optional header line naming x, y, z), .pcd, .las,\n"
               ".npy. Columns, fields and properties other than x, y, z are kept; NaN coordinates pass\n"
               "through unchanged. '-' reads standard input or writes standard output, in the --format given.",
               "vandrel");
  app.add_option("INPUT", args.input, "Point file to read")->required();
  app.add_option("OUTPUT", args.output, "Point file to write (replaced only when the run succeeds)")->required();
  CLI::Option* sigma_option =
      app.add_option_function<std::string>(
             "--sigma",
             [&args](const std::string& text) {
               if (text == "range") {
                 args.noise.by_range = true;
                 return;
               }
               std::string checked = text;
               if (const std::string wrong = float_at_least(0.0f, true)(checked); !wrong.empty())
                 throw CLI::ValidationError("--sigma", wrong);
               float value = 0.0f;
               parse_float(text, value);
               args.sigma = value;
             },
             "Standard deviation of the noise; estimated when left out. 'range': a sigma per point that\n"
             "grows with the range from the sensor, a + b r^2, with a and b estimated by depth band")
          ->type_name("SIGMA|range");
  app.add_option_function<std::string>(
         "--sigma-field", [&args](const std::string& text) { args.noise.field = text; },
         "Take each point's sigma from this field of the file (PLY property, PCD field, CSV column)")
      ->type_name("NAME")
      ->excludes(sigma_option);
  app.add_option_function<std::string>(
         "--sensor",
         [&args](const std::string& text) {
           try {
             args.noise.sensor = parse_sensor(text);
           } catch (const Error& e) {
             throw CLI::ValidationError("--sensor", e.what());
           }
         },
         "Where the sensor was, x,y,z in the file's coordinates, for --sigma range (default: the\n"
         "VIEWPOINT of a PCD file)")
      ->type_name("X,Y,Z");
  app.add_option("--density", args.density,
                 "Points per unit area of the surface; estimated when left out")
      ->check(float_at_least(0.0f, false));
  app.add_option("--format", args.format,
                 "Format of '-' and of a file whose extension names none: ply, xyz, txt, csv, pcd, las or npy")
      ->check(CLI::IsMember({"ply", "xyz", "txt", "csv", "pcd", "las", "npy"}));
  app.add_option("--threads", args.threads, "Worker threads, up to 1024; 0 takes all processors")
      ->check(thread_count_check());
  app.add_flag("--quiet", args.quiet, "Print nothing but errors");
  app.add_flag("--verbose", args.verbose, "Print the filter's own pass and progress lines instead of the progress bar");
  app.add_option_function<std::string>(
         "--memory-limit",
         [&args](const std::string& text) {
           args.memory_limit = parse_memory_size(text);
           if (args.memory_limit <= 0) throw CLI::ValidationError("--memory-limit", "'" + text + "' is not a size such as 512M or 2G");
         },
         "Keep the peak resident memory under SIZE (512M, 2G, ...) by filtering the cloud in tiles")
      ->type_name("SIZE");
  app.add_flag("--out-of-core", args.out_of_core,
               "Keep the cloud in scratch files beside the output rather than in memory (.npy and .las);\n"
               "--memory-limit does so by itself for a file too large to hold whole");
  app.add_option("--tile-points", args.tile_points,
                 "Cut the cloud into tiles that own at most N points each, rather than sizing them by --memory-limit")
      ->check(point_count())
      ->type_name("N");
  app.add_option_function<std::string>(
         "--classes", [&args](const std::string& text) { args.classes = parse_classes(text); },
         "Filter only the points of these LAS classes (2,6: ground and buildings); the others are\n"
         "written back as they were and are nobody's neighbours. LAS files only, in memory")
      ->type_name("LIST");
  app.add_option_function<std::string>(
         "--select",
         [&args](const std::string& text) {
           try {
             args.select = parse_field_selection(text);
           } catch (const Error& e) {
             throw CLI::ValidationError("--select", e.what());
           }
         },
         "Filter only the points whose field FIELD holds one of the values (label=1,4): a PLY\n"
         "property, PCD field, CSV column or LAS field (point_source_id, intensity, ...); the others are\n"
         "written back as they were and are nobody's neighbours. In memory")
      ->type_name("FIELD=VALUES");
  app.add_option_function<std::string>(
         "--returns", [&args](const std::string& text) { args.returns = text; args.returns_given = true; },
         "Filter only the first or the last return of each pulse of a LAS file; all: every point\n"
         "as one cloud (by default a classified LAS file with estimated parameters is filtered as its\n"
         "ground and, apart, its other surfaces' last returns)")
      ->check(CLI::IsMember({"all", "first", "last"}))
      ->type_name("all|first|last");
  app.add_flag("--normals", args.normals,
               "Write each point's unit normal, fitted to the filtered points: PLY nx ny nz, PCD\n"
               "normal_x normal_y normal_z (and curvature when the file has it), replaced when the input\n"
               "has them; added columns (text, NPY) or extra bytes (LAS) otherwise");
  app.add_flag("--classify-outliers", args.classify_outliers,
               "Find outliers, leave them out of the filtering and give them LAS class 7 (low point,\n"
               "noise); LAS output only");
  app.add_flag("--remove-outliers", args.remove_outliers,
               "Find outliers, leave them out of the filtering and write them with NaN coordinates\n"
               "(rows stay in place: organised clouds keep their layout); not for LAS output");
  app.add_option("--write-noise", args.noise_field,
                 "Write each point's noise level after the first pass, in the cloud's units, as a field,\n"
                 "column or extra bytes named NAME")
      ->check(CLI::Validator([](std::string& text) { return text.empty() ? std::string("the name is empty") : std::string(); }, "NAME"))
      ->type_name("NAME");
  app.set_version_flag("--version", std::string("vandrel ") + vandrel::version);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : exit_usage;
  }
  if ((args.input == "-" || args.output == "-") && !args.format) {
    std::cerr << "vandrel: '-' (standard input or output) needs --format\n";
    return exit_usage;
  }
  install_signal_handlers();
  try {
    run(args);
    return 0;
  } catch (const std::bad_alloc&) {
    std::cerr << "vandrel: out of memory\n";
  } catch (const std::exception& e) {
    std::cerr << "vandrel: " << e.what() << '\n';
  }
  return exit_failure;
}
