// The Python module `vandrel`: the library's filter and estimators on numpy arrays.
// The binding converts arguments and errors and nothing more; the filter and the
// estimators run with the interpreter lock released.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "api/estimate.h"
#include "api/vandrel.h"
#include "api/error.h"

namespace py = pybind11;

namespace vandrel {
namespace {

// vandrel.Error: the core's errors, with the identifier as an attribute. The arguments
// are (identifier, message) so that an instance survives pickling, as it must to travel
// back from a worker process.
constexpr const char* error_class_source = R"(
class Error(RuntimeError):
    """An error of the filter core.

    identifier names the error (for instance "Vandrel:tooFewPoints"); str() gives the message.
    """

    def __init__(self, identifier, message):
        super().__init__(identifier, message)
        self.identifier = identifier
        self.message = message

    def __str__(self):
        return self.message
)";

// Set once when the module is imported; the module keeps the class alive.
PyObject* error_class = nullptr;

// The points as the core reads them: a float32, C-ordered, aligned N x 3 array, that is
// x, y, z triples. Such an array is passed on as it is; anything else is converted in one
// copy. Raises ValueError for what is not an N x 3 array of real numbers.
py::array point_rows(const py::handle& points) {
  const py::module_ numpy = py::module_::import("numpy");
  const py::array array = numpy.attr("asarray")(points);
  const char kind = array.dtype().kind();
  if (kind == 'c') {
    throw py::value_error("points must be real numbers, but they are complex (dtype " +
                          std::string(py::str(array.dtype())) + ")");
  }
  // Booleans are not coordinates, and object arrays may hold anything: both are refused
  // rather than guessed at.
  if (kind != 'f' && kind != 'i' && kind != 'u') {
    throw py::value_error("points must be an array of real numbers, but its dtype is " +
                          std::string(py::str(array.dtype())));
  }
  if (array.ndim() != 2 || array.shape(1) != 3) {
    throw py::value_error("points must be an N x 3 array, but its shape is " +
                          std::string(py::str(numpy.attr("shape")(array))));
  }
  py::list requirements;
  requirements.append("C_CONTIGUOUS");
  requirements.append("ALIGNED");
  return numpy.attr("require")(array, numpy.attr("float32"), requirements);
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

// The thread count for one call: None or 0 for OpenMP's default, else a whole number.
int call_threads(const py::object& value) {
  if (value.is_none()) return 0;
  const py::object integral = py::module_::import("numbers").attr("Integral");
  if (py::isinstance(value, integral) && !py::isinstance<py::bool_>(value)) {
    const long long count = PyLong_AsLongLong(py::int_(value).ptr());
    if (count == -1 && PyErr_Occurred()) {
      PyErr_Clear();  // beyond 64 bits: out of range like any other
    } else if (count >= 0 && count <= std::numeric_limits<int>::max()) {
      return static_cast<int>(count);
    }
  }
  throw py::value_error("threads must be None or a whole number from 0 to " +
                        std::to_string(std::numeric_limits<int>::max()) + ", but it is " + std::string(py::repr(value)));
}

std::span<const Point> points_of(const py::array& rows) {
  return {static_cast<const Point*>(rows.data()), static_cast<std::size_t>(rows.shape(0))};
}

void write_to_stderr(const std::string& text) {
  if (text.empty()) return;
  const py::object stream = py::module_::import("sys").attr("stderr");
  if (stream.is_none()) return;  // pythonw and embedded interpreters may have none
  stream.attr("write")(text);
  stream.attr("flush")();
}

py::array_t<float> denoise_points(const py::object& points, const py::object& sigma, const py::object& density,
                                  const py::object& threads, bool verbose) {
  const py::array xyz = point_rows(points);
  const std::optional<float> given_sigma = single_parameter(sigma, "sigma", true);
  const std::optional<float> given_density = single_parameter(density, "density", false);
  const int thread_count = call_threads(threads);
  const auto n = static_cast<std::int64_t>(xyz.shape(0));
  py::array_t<float> result({static_cast<py::ssize_t>(n), py::ssize_t{3}});
  // Nothing to filter, and nothing to estimate parameters from: an empty cloud stays empty.
  if (n == 0) return result;

  // Workers print while the interpreter lock is released, so the lines are collected
  // here and handed to sys.stderr once the call has returned.
  std::string console;
  std::mutex console_mutex;
  DenoiseOptions options;
  options.threads = thread_count;
  if (verbose) {
    options.console = [&console, &console_mutex](std::string_view text) {
      const std::lock_guard<std::mutex> lock(console_mutex);
      console.append(text);
    };
  }
  const std::span<const Point> data = points_of(xyz);
  std::vector<Point> filtered;
  std::exception_ptr failure;
  {
    const py::gil_scoped_release unlocked;
    try {
      // Density before sigma, as the command-line tool estimates them.
      const float used_density = given_density ? *given_density : estimate_density(data);
      const float used_sigma = given_sigma ? *given_sigma : estimate_sigma(data);
      filtered = denoise(data, used_sigma, used_density, options);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  write_to_stderr(console);
  if (failure) std::rethrow_exception(failure);

  std::memcpy(result.mutable_data(), filtered.data(), filtered.size() * sizeof(Point));
  return result;
}

float estimate(const py::object& points, float (*estimator)(std::span<const Point>)) {
  const py::array xyz = point_rows(points);
  const std::span<const Point> data = points_of(xyz);
  const py::gil_scoped_release unlocked;
  return estimator(data);
}

}  // namespace
}  // namespace vandrel

PYBIND11_MODULE(vandrel, m) {
  using namespace vandrel;
  m.doc() =
      "Removes noise from point clouds that sample a surface.\n\n"
      "denoise() filters an N x 3 array of points; estimate_sigma() and estimate_density() give\n"
      "the parameters it estimates when they are left out. Errors of the filter core raise\n"
      "vandrel.Error, a RuntimeError with the error's identifier.";
  m.attr("__version__") = vandrel::version;

  py::exec(error_class_source, m.attr("__dict__"));
  error_class = m.attr("Error").ptr();
  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const Error& e) {
      const py::object instance = py::handle(error_class)(e.identifier(), e.what());
      PyErr_SetObject(error_class, instance.ptr());
    }
  });

  m.def("denoise", &denoise_points, py::arg("points"), py::arg("sigma") = py::none(),
        py::arg("density") = py::none(), py::kw_only(), py::arg("threads") = py::none(),
        py::arg("verbose") = false,
        R"(Denoises a point cloud.

points   N x 3 array-like of real numbers (any float or integer dtype, C or Fortran
         order, strided), converted to float32; the array itself is not modified.
sigma    standard deviation of the noise on each coordinate, in the cloud's units, >= 0;
         estimate_sigma(points) when None.
density  points per unit area of the surface, > 0; estimate_density(points) when None.
threads  threads for this call; None or 0 takes OpenMP's default.
verbose  write the filter's progress lines to sys.stderr (after the call returns).

Returns a new C-ordered N x 3 float32 array, row i the filtered point i. An empty
(0 x 3) cloud gives an empty result. Raises ValueError for points that are not an
N x 3 array of real numbers and for a sigma, density or threads out of range;
vandrel.Error for the core's errors (too many points, too few to estimate from). The
interpreter lock is released while the filter runs.)");
  m.def(
      "estimate_sigma", [](const py::object& points) { return estimate(points, &estimate_sigma); },
      py::arg("points"),
      R"(Estimates the standard deviation of isotropic Gaussian noise on every coordinate.

points is converted like denoise's. Needs at least 50 points with finite coordinates
(vandrel.Error "Vandrel:tooFewPoints") that do not coincide ("Vandrel:degenerateCloud").
Reliable while sigma is below about 2 / sqrt(density) and the surface is flat over a few
point spacings; a noise-free cloud gives about 0.)");
  m.def(
      "estimate_density", [](const py::object& points) { return estimate(points, &estimate_density); },
      py::arg("points"),
      R"(Estimates the sampling density of a surface: points per unit area.

points is converted like denoise's; errors as for estimate_sigma. Rows with a NaN or
infinite coordinate are ignored.)");
}
