// vandrel._core, the compiled half of the Python package `vandrel`: the library's filter
// and estimators on float32 N x 3 arrays. The pure-Python layer (vandrel/__init__.py)
// converts the points and gives the functions their signatures; this file converts
// parameters, callbacks and errors. The filter and the estimators run with the
// interpreter lock released; the callbacks take it back on the calling thread.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <tuple>
#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/neighbourhood_check.h"
#include "host/native_host.h"
#include "tiling/far_movers.h"
#include "tiling/tiling.h"
#include "vandrel/error.h"
#include "vandrel/estimate.h"
#include "vandrel/noise_model.h"
#include "vandrel/outputs.h"
#include "vandrel/run_plan.h"
#include "vandrel/scan_defaults.h"
#include "vandrel/vandrel.h"

namespace py = pybind11;

namespace vandrel {
namespace {

// How the filter's messages call sigma and density: as Python's keyword arguments.
constexpr ParameterNames python_names{"sigma=", "density="};

// The points as the core reads them: a float32, C-ordered, aligned N x 3 array, that is
// x, y, z triples. The Python layer makes such an array; anything else is refused.
std::span<const Point> point_rows(const py::array& points) {
  const bool usable = points.dtype().is(py::dtype::of<float>()) && points.ndim() == 2 && points.shape(1) == 3 &&
                      (points.flags() & py::array::c_style) != 0 &&
                      (points.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
  if (!usable) throw py::value_error("points must be a C-ordered, aligned N x 3 float32 array");
  return {static_cast<const Point*>(points.data()), static_cast<std::size_t>(points.shape(0))};
}

// A sigma or density given as a real number (Python's or numpy's), in single precision:
// finite, and >= 0 for sigma or > 0 for density, the ranges the filter takes.
std::optional<float> single_parameter(const py::object& value, const char* name, bool zero_allowed) {
  if (value.is_none()) return std::nullopt;
  const std::string wanted = std::string(name) + " must be a finite number " + (zero_allowed ? ">= 0" : "> 0") +
                             " in single precision, but it is " + std::string(py::repr(value));
  const py::object real = py::module_::import("numbers").attr("Real");
  if (!py::isinstance(value, real) || py::isinstance<py::bool_>(value)) throw py::value_error(wanted);
  const double number = PyFloat_AsDouble(value.ptr());
  if (number == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();  // an integer beyond double's range: out of range like any other
    throw py::value_error(wanted);
  }
  if (!(std::abs(number) <= double{std::numeric_limits<float>::max()})) throw py::value_error(wanted);
  const auto single = static_cast<float>(number);
  if (zero_allowed ? !(single >= 0.0f) : !(single > 0.0f)) throw py::value_error(wanted);
  return single;
}

// The thread count for one call: None or 0 for OpenMP's default, else a whole number up
// to max_threads.
int call_threads(const py::object& value) {
  if (value.is_none()) return 0;
  const py::object integral = py::module_::import("numbers").attr("Integral");
  if (py::isinstance(value, integral) && !py::isinstance<py::bool_>(value)) {
    const long long count = PyLong_AsLongLong(py::int_(value).ptr());
    if (count == -1 && PyErr_Occurred()) {
      PyErr_Clear();  // beyond 64 bits: out of range like any other
    } else if (count >= 0 && count <= max_threads) {
      return static_cast<int>(count);
    }
  }
  throw py::value_error("threads must be None or a whole number from 0 to " + std::to_string(max_threads) +
                        ", but it is " + std::string(py::repr(value)));
}

// What the callbacks raised or caught while the filter ran: the first Python exception
// (KeyboardInterrupt included), raised once the filter has unwound. Written and read
// only with the interpreter lock held.
struct PendingError {
  std::exception_ptr first;
  void keep(std::exception_ptr error) {
    if (!first) first = std::move(error);
  }
};

// The callbacks hold handles, not references: the library copies them with the lock
// released, and the objects outlive the call as its arguments.

// The progress callback the library calls on the calling thread at least once a second:
// it takes the interpreter lock, runs the signal handlers (so that Ctrl-C stops the run
// even without a Python callback) and then the Python callback. Any exception stops the
// run; it is kept to be raised in place of the library's "cancelled" error.
std::function<bool(const Progress&)> progress_reporter(py::handle callback, PendingError& pending) {
  return [callback, &pending](const Progress& progress) {
    const py::gil_scoped_acquire locked;
    if (pending.first) return false;
    try {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (!callback.is_none()) callback(py::str(progress.stage.data(), progress.stage.size()), progress.done,
                                        progress.total);
      return true;
    } catch (...) {
      pending.keep(std::current_exception());
      return false;
    }
  };
}

// Console lines go to the Python callback as they come, with the interpreter lock held.
// An exception it raises is kept and stops the run at the next progress report.
std::function<void(std::string_view)> console_writer(py::handle callback, PendingError& pending) {
  return [callback, &pending](std::string_view text) {
    const py::gil_scoped_acquire locked;
    if (pending.first) return;
    try {
      callback(py::str(text.data(), text.size()));
    } catch (...) {
      pending.keep(std::current_exception());
    }
  };
}

// The rows to filter, as the Python layer hands them over: None for all, else a C-ordered
// uint8 array of one value per point (nonzero: filter).
std::span<const std::uint8_t> mask_rows(const py::object& mask, std::size_t points) {
  if (mask.is_none()) return {};
  const auto array = py::cast<py::array>(mask);
  const bool usable = array.dtype().is(py::dtype::of<std::uint8_t>()) && array.ndim() == 1 &&
                      static_cast<std::size_t>(array.shape(0)) == points &&
                      (array.flags() & py::array::c_style) != 0;
  if (!usable) throw py::value_error("mask= must be a C-ordered uint8 array of one value per point");
  return {static_cast<const std::uint8_t*>(array.data()), points};
}

// A per-point sigma, as the Python layer hands it over: a C-ordered float32 array of one
// value per point (its values are checked by the filter).
std::span<const float> point_sigma_rows(const py::array& sigmas, std::size_t points) {
  const bool usable = sigmas.dtype().is(py::dtype::of<float>()) && sigmas.ndim() == 1 &&
                      static_cast<std::size_t>(sigmas.shape(0)) == points &&
                      (sigmas.flags() & py::array::c_style) != 0;
  if (!usable) throw py::value_error("an array sigma= must be a C-ordered float32 array of one value per point");
  return {static_cast<const float*>(sigmas.data()), points};
}

py::object denoise_points(const py::array& points, const py::object& sigma, const py::object& density,
                          const py::object& threads, const py::object& console, const py::object& progress,
                          const py::object& mask, bool want_normals, bool want_noise, int orientation,
                          std::array<double, 3> target, bool want_outliers) {
  const std::span<const Point> data = point_rows(points);
  const std::span<const std::uint8_t> selection = mask_rows(mask, data.size());
  const bool per_point = py::isinstance<py::array>(sigma);
  const std::span<const float> sigmas =
      per_point ? point_sigma_rows(py::cast<py::array>(sigma), data.size()) : std::span<const float>{};
  // Per-point sigmas are given: only the density may be left to estimate.
  const std::optional<float> given_sigma = per_point ? std::optional<float>(0.0f) : single_parameter(sigma, "sigma", true);
  const std::optional<float> given_density = single_parameter(density, "density", false);
  const int threads_asked = call_threads(threads);
  const auto n = static_cast<py::ssize_t>(data.size());
  py::array_t<float> result({n, py::ssize_t{3}});
  const bool extra = want_normals || want_noise || want_outliers;
  OutputRequest request;
  request.normals = want_normals;
  request.noise = want_noise;
  request.outliers = want_outliers;
  request.orientation = static_cast<NormalOrientation>(std::clamp(orientation, 0, 2));
  request.target = target;
  DenoiseResult outputs;
  // Every requested output of rows not filtered is NaN.
  auto with_outputs = [&]() -> py::object {
    if (!extra) return std::move(result);
    const float nan = std::nanf("");
    py::object normals = py::none(), curvature = py::none(), noise = py::none();
    if (want_normals) {
      py::array_t<float> a({n, py::ssize_t{3}}), c(n);
      if (outputs.normals.size() == static_cast<std::size_t>(n)) {
        std::memcpy(a.mutable_data(), outputs.normals.data(), outputs.normals.size() * sizeof(Point));
        std::memcpy(c.mutable_data(), outputs.curvature.data(), outputs.curvature.size() * sizeof(float));
      } else {
        std::fill(a.mutable_data(), a.mutable_data() + 3 * n, nan);
        std::fill(c.mutable_data(), c.mutable_data() + n, nan);
      }
      normals = std::move(a);
      curvature = std::move(c);
    }
    if (want_noise) {
      py::array_t<float> a(n);
      if (outputs.noise.size() == static_cast<std::size_t>(n))
        std::memcpy(a.mutable_data(), outputs.noise.data(), outputs.noise.size() * sizeof(float));
      else
        std::fill(a.mutable_data(), a.mutable_data() + n, nan);
      noise = std::move(a);
    }
    py::object outliers = py::none();
    if (want_outliers) {
      py::array_t<bool> a(n);
      for (py::ssize_t i = 0; i < n; ++i)
        a.mutable_data()[i] = outputs.outliers.size() == static_cast<std::size_t>(n) && outputs.outliers[static_cast<std::size_t>(i)] != 0;
      outliers = std::move(a);
    }
    return py::make_tuple(std::move(result), normals, curvature, noise, outliers);
  };
  // Nothing to filter, and nothing to estimate parameters from: an empty cloud stays empty.
  if (n == 0) return with_outputs();

  PendingError pending;
  DenoiseOptions options;
  options.threads = threads_asked;
  options.names = python_names;
  if (!console.is_none()) options.console = console_writer(console, pending);
  options.progress = progress_reporter(progress, pending);
  options.selection = selection;
  std::vector<Point> filtered;
  std::exception_ptr failure;
  {
    const py::gil_scoped_release unlocked;
    try {
      if (!selection.empty() && std::all_of(selection.begin(), selection.end(), [](std::uint8_t v) { return v == 0; })) {
        // Nothing selected: nothing to filter or estimate from; the points come back as given.
        filtered.assign(data.begin(), data.end());
      } else {
        // Estimated from the selected points alone: the cloud the filter sees.
        std::vector<Point> chosen;
        if (!selection.empty() && !(given_sigma && given_density)) chosen = selected_points(data, selection);
        const Parameters used = resolve_parameters(selection.empty() ? data : std::span<const Point>(chosen),
                                                   given_sigma, given_density, options.names);
        chosen = {};
        if (extra) {
          outputs = per_point ? denoise_with_outputs(data, sigmas, used.density, request, options)
                              : denoise_with_outputs(data, used.sigma, used.density, request, options);
          filtered = std::move(outputs.points);
        } else {
          filtered = per_point ? denoise(data, sigmas, used.density, options)
                               : denoise(data, used.sigma, used.density, options);
        }
      }
    } catch (...) {
      failure = std::current_exception();
    }
  }
  // A callback's exception is the cause of the library's "cancelled" error: it wins. It is
  // raised even when the run got to the end, since a KeyboardInterrupt it holds is spent.
  if (pending.first) std::rethrow_exception(pending.first);
  if (failure) std::rethrow_exception(failure);

  std::memcpy(result.mutable_data(), filtered.data(), filtered.size() * sizeof(Point));
  return with_outputs();
}

float estimate(const py::array& points, float (*estimator)(std::span<const Point>)) {
  const std::span<const Point> data = point_rows(points);
  const py::gil_scoped_release unlocked;
  return estimator(data);
}


// Tiling. A plan travels to Python as (lo, hi, (scale, search_radius, max_half_width)):
// plain arrays and numbers, so that tasks on other machines can carry it.
using PlanSizes = std::tuple<float, float, float>;

TilePlan plan_of(const PlanSizes& sizes) {
  TilePlan plan;
  std::tie(plan.scale, plan.search_radius, plan.max_half_width) = sizes;
  return plan;
}

TileBox box_of(const std::array<float, 3>& lo, const std::array<float, 3>& hi) { return {lo, hi}; }

py::tuple plan_tiles_points(const py::array& points, float sigma, float density, std::int64_t tile_points,
                            std::int64_t max_read_points) {
  const std::span<const Point> data = point_rows(points);
  TilePlan plan;
  {
    const py::gil_scoped_release unlocked;
    plan = plan_tiles(data, sigma, density, tile_points, max_read_points, python_names);
  }
  const auto count = static_cast<py::ssize_t>(plan.tiles.size());
  py::array_t<float> lo({count, py::ssize_t{3}});
  py::array_t<float> hi({count, py::ssize_t{3}});
  for (py::ssize_t t = 0; t < count; ++t) {
    for (py::ssize_t c = 0; c < 3; ++c) {
      lo.mutable_at(t, c) = plan.tiles[static_cast<std::size_t>(t)].lo[static_cast<std::size_t>(c)];
      hi.mutable_at(t, c) = plan.tiles[static_cast<std::size_t>(t)].hi[static_cast<std::size_t>(c)];
    }
  }
  return py::make_tuple(lo, hi, PlanSizes{plan.scale, plan.search_radius, plan.max_half_width});
}

py::tuple tile_rows_points(const py::array& points, const std::array<float, 3>& lo, const std::array<float, 3>& hi,
                           double halo) {
  const std::span<const Point> data = point_rows(points);
  std::vector<std::uint8_t> owned;
  std::vector<std::int64_t> rows;
  {
    const py::gil_scoped_release unlocked;
    rows = tile_rows(data, box_of(lo, hi), halo, &owned);
  }
  py::array_t<std::int64_t> row_array(static_cast<py::ssize_t>(rows.size()));
  py::array_t<bool> owned_array(static_cast<py::ssize_t>(owned.size()));
  std::copy(rows.begin(), rows.end(), row_array.mutable_data());
  std::transform(owned.begin(), owned.end(), owned_array.mutable_data(), [](std::uint8_t b) { return b != 0; });
  return py::make_tuple(row_array, owned_array);
}

py::tuple filter_tile_points(std::int32_t pass, const py::array& points, const py::object& first_positions,
                             const py::object& first_noise, const std::array<float, 3>& lo, const std::array<float, 3>& hi,
                             const PlanSizes& sizes, float sigma, float density, float neighbours, float move,
                             const py::object& threads, const py::object& frames_known) {
  if (pass != 1 && pass != 2) throw py::value_error("pass must be 1 or 2");
  const std::span<const Point> data = point_rows(points);
  TileFirstPass first;
  if (pass == 2) {
    first.positions = point_rows(first_positions.cast<py::array>());
    const auto noise = first_noise.cast<py::array_t<float, py::array::c_style | py::array::forcecast>>();
    first.noise = {noise.data(), static_cast<std::size_t>(noise.size())};
    if (first.positions.size() != data.size() || first.noise.size() != data.size())
      throw py::value_error("the first pass's positions and noise levels need one entry per point");
  }
  std::vector<std::uint8_t> known;
  if (!frames_known.is_none()) {
    const auto flags = frames_known.cast<py::array_t<bool, py::array::c_style | py::array::forcecast>>();
    if (static_cast<std::size_t>(flags.size()) != data.size())
      throw py::value_error("frames_known needs one entry per point");
    known.assign(flags.data(), flags.data() + flags.size());
  }
  DenoiseOptions options;
  options.threads = call_threads(threads);
  TileResult result;
  {
    const py::gil_scoped_release unlocked;
    result = filter_tile(pass, data, first, box_of(lo, hi), plan_of(sizes), sigma, density, {neighbours, move}, options,
                         false, known);
  }
  py::array_t<float> filtered({static_cast<py::ssize_t>(result.points.size()), py::ssize_t{3}});
  std::memcpy(filtered.mutable_data(), result.points.data(), result.points.size() * sizeof(Point));
  py::array_t<float> noise(static_cast<py::ssize_t>(result.noise.size()));
  std::copy(result.noise.begin(), result.noise.end(), noise.mutable_data());
  return py::make_tuple(result.complete, result.needed.neighbours, result.needed.move, filtered, noise,
                        result.largest_move, result.estimated, result.neighbours_found);
}

// The neighbourhood check over a cloud seen block by block (vandrel.dask.denoise_npy): the
// probes are taken in one pass, the neighbours counted in another.
class NeighbourhoodCount {
 public:
  NeighbourhoodCount(const PlanSizes& sizes, const py::array& probes)
      : check_(plan_of(sizes).scale, point_rows(probes)) {}

  void count(const py::array& points, const py::object& threads) {
    const std::span<const Point> data = point_rows(points);
    DenoiseOptions options;
    options.threads = call_threads(threads);
    const py::gil_scoped_release unlocked;
    check_.count(data, threads_for(options));
  }

  void judge() const { check_.judge(); }

 private:
  NeighbourhoodCheck check_;
};

py::array_t<std::int64_t> neighbourhood_probe_ranks(std::int64_t finite_rows) {
  const std::vector<std::int64_t> ranks = NeighbourhoodCheck::probe_ranks(finite_rows);
  py::array_t<std::int64_t> result(static_cast<py::ssize_t>(ranks.size()));
  std::copy(ranks.begin(), ranks.end(), result.mutable_data());
  return result;
}

}  // namespace
}  // namespace vandrel

PYBIND11_MODULE(_core, m) {
  using namespace vandrel;
  m.doc() = "The compiled half of vandrel: use the functions of the package vandrel instead.";
  m.attr("__version__") = vandrel::version;
  m.def("estimation_region_points", &estimation_region_points, py::arg("tile_points"),
        "estimation_region_points(tile_points) -> int: the points of the region a cloud too large to\n"
        "hold gives the estimators, for tiles that read tile_points points.");
  m.def(
      "resolve_parameters",
      [](const py::array& points, const py::object& sigma, const py::object& density) {
        const std::span<const Point> data = point_rows(points);
        const std::optional<float> given_sigma = single_parameter(sigma, "sigma", true);
        const std::optional<float> given_density = single_parameter(density, "density", false);
        const py::gil_scoped_release unlocked;
        const Parameters used = resolve_parameters(data, given_sigma, given_density, python_names);
        return std::make_tuple(used.sigma, used.density);
      },
      py::arg("points"), py::arg("sigma"), py::arg("density"),
      "resolve_parameters(points, sigma, density) -> (sigma, density): those given (None: estimated\n"
      "from points, the density first).");
  m.def(
      "extent_centre",
      [](const py::array_t<double, py::array::c_style | py::array::forcecast>& low,
         const py::array_t<double, py::array::c_style | py::array::forcecast>& high) {
        if (low.size() != 3 || high.size() != 3) throw py::value_error("extent_centre takes two arrays of 3 numbers");
        py::array_t<double> centre(3);
        for (py::ssize_t c = 0; c < 3; ++c) centre.mutable_at(c) = extent_centre(low.at(c), high.at(c));
        return centre;
      },
      py::arg("low"), py::arg("high"),
      "extent_centre(low, high) -> float64[3]: the centre every front end moves a double-precision\n"
      "cloud by, per axis, from the least and most finite coordinates.");
  m.attr("max_threads") = max_threads;

  // vandrel.Error is a Python class of the package; it is looked up when an error is
  // raised, by which time the package has finished importing.
  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const Error& e) {
      const py::object error_class = py::module_::import("vandrel").attr("Error");
      const py::object instance = error_class(e.identifier(), e.what());
      PyErr_SetObject(error_class.ptr(), instance.ptr());
    }
  });

  m.def("denoise", &denoise_points, py::arg("points"), py::arg("sigma"), py::arg("density"), py::arg("threads"),
        py::arg("console"), py::arg("progress"), py::arg("mask") = py::none(), py::arg("normals") = false,
        py::arg("noise") = false, py::arg("orientation") = 0,
        py::arg("target") = std::array<double, 3>{0.0, 0.0, 1.0}, py::arg("outliers") = false,
        "denoise(points, sigma, density, threads, console, progress, mask=None): points a C-ordered N x 3\n"
        "float32 array; sigma None, a number or a C-ordered float32 array of N values (one per point); console None or a callable taking a str; progress None or a callable taking\n"
        "(stage, done, total); mask None (every point) or a C-ordered uint8 array of N values, nonzero\n"
        "for the points to filter. With normals, noise or outliers true it returns (points, normals,\n"
        "curvature, noise, outliers), None for what was not asked; orientation 0 consistent, 1 toward the viewpoint target,\n"
        "2 along the direction target.");
  m.def(
      "estimate_sigma", [](const py::array& points) { return estimate(points, &estimate_sigma); },
      py::arg("points"));
  m.def(
      "estimate_density", [](const py::array& points) { return estimate(points, &estimate_density); },
      py::arg("points"));
  m.def(
      "estimate_sigma_by_line",
      [](const py::array& points, const py::array_t<std::uint16_t, py::array::c_style | py::array::forcecast>& lines) {
        const std::span<const Point> data = point_rows(points);
        const std::span<const std::uint16_t> ids(lines.data(), static_cast<std::size_t>(lines.size()));
        const py::gil_scoped_release unlocked;
        return estimate_sigma_by_line(data, ids);
      },
      py::arg("points"), py::arg("lines"));
  m.def(
      "lidar_groups",
      [](const py::array& points, const py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>& classes,
         const py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>& last_return) {
        const std::span<const Point> data = point_rows(points);
        const LidarGroups groups =
            lidar_groups(data, std::span<const std::uint8_t>(classes.data(), static_cast<std::size_t>(classes.size())),
                         std::span<const std::uint8_t>(last_return.data(), static_cast<std::size_t>(last_return.size())));
        const auto mask = [](const std::vector<std::uint8_t>& flags) {
          py::array_t<bool> result(static_cast<py::ssize_t>(flags.size()));
          bool* out = result.mutable_data();
          for (std::size_t i = 0; i < flags.size(); ++i) out[i] = flags[i] != 0;
          return result;
        };
        return py::make_tuple(mask(groups.ground), mask(groups.surfaces));
      },
      py::arg("points"), py::arg("classes"), py::arg("last_return"),
      "lidar_groups(points, classes, last_return) -> (ground, surfaces): the boolean masks of the parts\n"
      "of a classified airborne scan the command line filters apart by default.");
  m.def("range_noise_by_default", &range_noise_by_default, py::arg("height"), py::arg("finite_points"),
        "range_noise_by_default(height, finite_points) -> bool: whether an organised depth image gets\n"
        "its noise by range by default.");
  m.def(
      "noise_grows_with_range",
      [](double a, double b, const std::vector<double>& ranges) {
        RangeNoise model;
        model.a = a;
        model.b = b;
        for (const double range : ranges) model.bands.push_back({range, 0.0f, 0, 0.0});
        return noise_grows_with_range(model);
      },
      py::arg("a"), py::arg("b"), py::arg("ranges"),
      "noise_grows_with_range(a, b, ranges) -> bool: whether a + b r^2 at the last band's range is 1.5 times or\n"
      "more what it is at the first's.");
  m.def(
      "estimate_range_noise",
      [](const py::array& points, double x, double y, double z) {
        const std::span<const Point> data = point_rows(points);
        RangeNoise model;
        {
          const py::gil_scoped_release unlocked;
          model = estimate_range_noise(data, {x, y, z});
        }
        py::list bands;
        for (const RangeNoise::Band& band : model.bands) bands.append(py::make_tuple(band.range, band.sigma, band.points));
        return py::make_tuple(model.a, model.b, bands);
      },
      py::arg("points"), py::arg("x"), py::arg("y"), py::arg("z"),
      "estimate_range_noise(points, x, y, z) -> (a, b, [(range, sigma, points) per band]): sigma(r) = a + b r^2\n"
      "about the sensor at (x, y, z), fitted to depth bands.");
  m.def(
      "range_sigmas",
      [](const py::array& points, double a, double b, double x, double y, double z) {
        const std::span<const Point> data = point_rows(points);
        RangeNoise model;
        model.a = a;
        model.b = b;
        model.sensor = {x, y, z};
        const std::vector<float> sigmas = range_sigmas(data, model);
        py::array_t<float> result(static_cast<py::ssize_t>(sigmas.size()));
        if (!sigmas.empty()) std::memcpy(result.mutable_data(), sigmas.data(), sigmas.size() * sizeof(float));
        return result;
      },
      py::arg("points"), py::arg("a"), py::arg("b"), py::arg("x"), py::arg("y"), py::arg("z"),
      "range_sigmas(points, a, b, x, y, z) -> float32 array: a + b r^2 at each point's range from (x, y, z).");

  m.def("plan_tiles", &plan_tiles_points, py::arg("points"), py::arg("sigma"), py::arg("density"),
        py::arg("tile_points"), py::arg("max_read_points"),
        "plan_tiles(points, sigma, density, tile_points, max_read_points) -> (lo, hi, sizes): the\n"
        "tiles' boxes (T x 3 float32 each) and the plan's (scale, search_radius, max_half_width).");
  m.def("tile_rows", &tile_rows_points, py::arg("points"), py::arg("lo"), py::arg("hi"), py::arg("halo"),
        "tile_rows(points, lo, hi, halo) -> (rows int64, owned bool): the rows a tile reads, ascending.");
  py::class_<TileHalo>(m, "TileHalo",
                       "TileHalo(sizes, finite_rows, pass_, move): the halo loop of one tile's pass, as every runner\n"
                       "drives it: read the tile with halo(), filter it with reach(rows read), widen(needed) while\n"
                       "it asks for more. move: for pass 2, the largest move of a point in pass 1.")
      .def(py::init([](const PlanSizes& sizes, std::int64_t finite_rows, std::int32_t pass, float move, float found) {
             return TileHalo(plan_of(sizes), finite_rows, pass, move, found);
           }),
           py::arg("sizes"), py::arg("finite_rows"), py::arg("pass_"), py::arg("move") = 0.0f, py::arg("found") = 0.0f)
      .def("halo", &TileHalo::halo)
      .def(
          "reach",
          [](const TileHalo& halo, std::int64_t rows_read) {
            const TileReach reach = halo.reach(rows_read);
            return py::make_tuple(reach.neighbours, reach.move);
          },
          py::arg("rows_read"))
      .def(
          "widen", [](TileHalo& halo, float neighbours, float move) { halo.widen({neighbours, move}); },
          py::arg("neighbours"), py::arg("move"));
  m.def("filter_tile", &filter_tile_points, py::arg("pass_"), py::arg("points"), py::arg("first_positions"),
        py::arg("first_noise"), py::arg("lo"), py::arg("hi"), py::arg("sizes"), py::arg("sigma"), py::arg("density"),
        py::arg("neighbours"), py::arg("move"), py::arg("threads"), py::arg("frames_known") = py::none(),
        "filter_tile(pass_, points, first_positions, first_noise, ...) -> (complete, needed_neighbours, needed_move,\n"
        "points, noise, largest_move, estimated, neighbours_found): one pass of one tile (see tiling.h); first_* are None for pass 1.\n"
        "frames_known: None, or per point whether it is a far mover whose 50 nearest came along (FarMovers.extra).");
  py::class_<FarMovers>(m, "FarMovers",
                        "FarMovers(sizes): the few points the first pass throws further than a second-pass halo of\n"
                        "2 R allows for, read apart with their 50 nearest neighbours (see tiling/far_movers.h). offer()\n"
                        "every finite row once, search() every finite row once, then extra() and rest().")
      .def(py::init([](const PlanSizes& sizes) { return FarMovers(initial_reach(plan_of(sizes)).move, far_movers_kept); }),
           py::arg("sizes"))
      .def(
          "offer",
          [](FarMovers& far, const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& rows,
             const py::array& inputs, const py::array& firsts, const PlanSizes& sizes) {
            const std::span<const Point> in = point_rows(inputs);
            const std::span<const Point> first = point_rows(firsts);
            if (static_cast<std::size_t>(rows.size()) != in.size() || first.size() != in.size())
              throw py::value_error("offer needs one row, input point and first-pass position each");
            const float scale = plan_of(sizes).scale;
            for (std::size_t k = 0; k < in.size(); ++k)
              far.offer(rows.data()[k], first_pass_move(in[k], first[k], scale), in[k], first[k]);
          },
          py::arg("rows"), py::arg("inputs"), py::arg("firsts"), py::arg("sizes"),
          "offer(rows, inputs, firsts, sizes): rows with their input points and first-pass positions (scaled).")
      .def("any", &FarMovers::any)
      .def(
          "search",
          [](FarMovers& far, const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& rows,
             const py::array& inputs, const py::array& firsts) {
            const std::span<const Point> in = point_rows(inputs);
            const std::span<const Point> first = point_rows(firsts);
            if (static_cast<std::size_t>(rows.size()) != in.size() || first.size() != in.size())
              throw py::value_error("search needs one row, input point and first-pass position each");
            const py::gil_scoped_release unlocked;
            far.search({rows.data(), in.size()}, in, first);
          },
          py::arg("rows"), py::arg("inputs"), py::arg("firsts"))
      .def(
          "extra",
          [](FarMovers& far) {
            const FarMovers::Extra extra = far.extra();
            const auto count = static_cast<py::ssize_t>(extra.rows.size());
            py::array_t<std::int64_t> rows(count);
            py::array_t<float> points({count, py::ssize_t{3}});
            py::array_t<bool> known(count);
            std::copy(extra.rows.begin(), extra.rows.end(), rows.mutable_data());
            std::memcpy(points.mutable_data(), extra.points.data(), extra.points.size() * sizeof(Point));
            std::transform(extra.frames_known.begin(), extra.frames_known.end(), known.mutable_data(),
                           [](std::uint8_t b) { return b != 0; });
            return py::make_tuple(rows, points, known);
          },
          "extra() -> (rows int64, points float32 N x 3, frames_known bool): what every second-pass tile reads besides "
          "its halo.")
      .def("rest", &FarMovers::rest, "rest(): the largest move the second pass's halos must allow for.");
  m.def(
      "add_extra",
      [](const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& rows, const py::array& points,
         const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& extra_rows,
         const py::array& extra_points, const py::array_t<bool, py::array::c_style | py::array::forcecast>& known) {
        FarMovers::Extra extra;
        extra.rows.assign(extra_rows.data(), extra_rows.data() + extra_rows.size());
        const std::span<const Point> extra_at = point_rows(extra_points);
        extra.points.assign(extra_at.begin(), extra_at.end());
        extra.frames_known.assign(known.data(), known.data() + known.size());
        std::vector<std::int64_t> merged(rows.data(), rows.data() + rows.size());
        const std::span<const Point> at = point_rows(points);
        std::vector<Point> merged_points(at.begin(), at.end());
        if (merged.size() != merged_points.size() || extra.rows.size() != extra.points.size() ||
            extra.rows.size() != extra.frames_known.size())
          throw py::value_error("add_extra needs one point per row");
        std::vector<std::uint8_t> frames_known;
        add_extra(extra, merged, merged_points, frames_known);
        const auto count = static_cast<py::ssize_t>(merged.size());
        py::array_t<std::int64_t> rows_out(count);
        py::array_t<float> points_out({count, py::ssize_t{3}});
        py::array_t<bool> known_out(static_cast<py::ssize_t>(frames_known.size()));
        std::copy(merged.begin(), merged.end(), rows_out.mutable_data());
        std::memcpy(points_out.mutable_data(), merged_points.data(), merged_points.size() * sizeof(Point));
        std::transform(frames_known.begin(), frames_known.end(), known_out.mutable_data(),
                       [](std::uint8_t b) { return b != 0; });
        return py::make_tuple(rows_out, points_out, known_out);
      },
      py::arg("rows"), py::arg("points"), py::arg("extra_rows"), py::arg("extra_points"), py::arg("frames_known"),
      "add_extra(rows, points, extra_rows, extra_points, frames_known) -> (rows, points, frames_known): a tile's\n"
      "ascending rows and points with FarMovers.extra()'s rows it lacks.");
  m.def(
      "filtering_factor",
      [](const py::array& sample, const py::array_t<float>& lo, const py::array_t<float>& hi, const PlanSizes& sizes) {
        TilePlan plan = plan_of(sizes);
        for (py::ssize_t t = 0; t < lo.shape(0); ++t)
          plan.tiles.push_back({{lo.at(t, 0), lo.at(t, 1), lo.at(t, 2)}, {hi.at(t, 0), hi.at(t, 1), hi.at(t, 2)}});
        return filtering_factor(plan, point_rows(sample));
      },
      py::arg("sample"), py::arg("lo"), py::arg("hi"), py::arg("sizes"),
      "filtering_factor(sample, lo, hi, sizes) -> how many times each pass filters a point, halos included.");
  m.def(
      "check_neighbourhood_size",
      [](const py::array& points, const PlanSizes& sizes) {
        const std::span<const Point> data = point_rows(points);
        const py::gil_scoped_release unlocked;
        check_neighbourhood_size(data, plan_of(sizes).scale, threads_for(DenoiseOptions{}));
      },
      py::arg("points"), py::arg("sizes"));
  m.def("neighbourhood_probe_ranks", &neighbourhood_probe_ranks, py::arg("finite_rows"),
        "neighbourhood_probe_ranks(finite_rows) -> int64 array: which finite rows (counted from 0 over\n"
        "the finite rows only) are the neighbourhood check's probes; empty below 50 finite rows.");
  py::class_<NeighbourhoodCount>(m, "NeighbourhoodCheck",
                                 "NeighbourhoodCheck(sizes, probes): the refusal of huge neighbourhoods for a cloud\n"
                                 "seen in parts; probes the points at neighbourhood_probe_ranks.")
      .def(py::init<const PlanSizes&, const py::array&>(), py::arg("sizes"), py::arg("probes"))
      .def("count", &NeighbourhoodCount::count, py::arg("points"), py::arg("threads"),
           "Counts the probes' neighbours among one part of the cloud; count every point once.")
      .def("judge", &NeighbourhoodCount::judge,
           "Raises vandrel.Error \"Vandrel:hugeNeighbourhood\" when the probes' mean is too large.");
  m.def(
      "denoise_tiled",
      [](const py::array& points, float sigma, float density, std::int64_t tile_points, const py::object& threads) {
        const std::span<const Point> data = point_rows(points);
        DenoiseOptions options;
        options.threads = call_threads(threads);
        std::vector<Point> filtered;
        {
          const py::gil_scoped_release unlocked;
          filtered = denoise_tiled(data, sigma, density, options, {.tile_points = tile_points});
        }
        py::array_t<float> result({static_cast<py::ssize_t>(filtered.size()), py::ssize_t{3}});
        std::memcpy(result.mutable_data(), filtered.data(), filtered.size() * sizeof(Point));
        return result;
      },
      py::arg("points"), py::arg("sigma"), py::arg("density"), py::arg("tile_points"), py::arg("threads"));
  m.def("tile_points_for_memory", &tile_points_for_memory, py::arg("memory_bytes"));
  m.attr("cheap_factor") = cheap_factor;
}
