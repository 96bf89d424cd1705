#include "native_host.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "host/kd_search.h"
#include "api/error.h"

namespace vandrel {
namespace {

[[noreturn]] void bad_call(std::string_view function, const std::string& why) {
  throw Error("Vandrel:hostCall", std::string(function) + ": " + why);
}

// A real single N x 3 matrix argument, as the searches take their point sets.
const Value& points_argument(std::string_view function, const std::vector<Value>& inputs, std::size_t k) {
  const Value& v = inputs[k];
  if (v.cls != ValueClass::Single || v.is_complex || v.dims.size() != 2 || v.dims[1] != 3) {
    bad_call(function, "argument " + std::to_string(k + 1) + " must be a real single N x 3 matrix");
  }
  return v;
}

bool is_text(const Value& v, const char* text) { return v.cls == ValueClass::Char && v.text == text; }

float single_scalar_argument(std::string_view function, const Value& v, std::size_t k) {
  if (v.numel() != 1 || v.is_complex) bad_call(function, "argument " + std::to_string(k + 1) + " must be a scalar");
  if (v.cls == ValueClass::Single) return v.f32[0];
  if (v.cls == ValueClass::Double) return static_cast<float>(v.f64[0]);
  bad_call(function, "argument " + std::to_string(k + 1) + " must be numeric");
}

// Expands the escapes the host language's fprintf expands in its format.
std::string expand_escapes(const std::string& format) {
  std::string out;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '\\' && i + 1 < format.size()) {
      const char c = format[i + 1];
      if (c == 'n') { out += '\n'; ++i; continue; }
      if (c == 't') { out += '\t'; ++i; continue; }
      if (c == '\\') { out += '\\'; ++i; continue; }
    }
    out += format[i];
  }
  return out;
}

}  // namespace

NativeHost::NativeHost(NativeHostOptions options) : options_(std::move(options)) {}

void* NativeHost::allocate(std::size_t bytes) {
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw Error("Vandrel:outOfMemory", "Out of memory.");
  ++live_;
  return p;
}

void* NativeHost::allocate_zeroed(std::size_t count, std::size_t element_size) {
  void* p = std::calloc(count == 0 ? 1 : count, element_size == 0 ? 1 : element_size);
  if (p == nullptr) throw Error("Vandrel:outOfMemory", "Out of memory.");
  ++live_;
  return p;
}

void NativeHost::release(void* block) {
  if (block == nullptr) return;
  std::free(block);
  --live_;
}

Value NativeHost::call(std::string_view function, std::vector<Value> inputs) {
  if (function == "rangesearch") return rangesearch(inputs);
  if (function == "knnsearch") return knnsearch(inputs);
  if (function == "int32") return int32(inputs);
  if (function == "feval") {
    if (!inputs.empty() && is_text(inputs[0], "fprintf")) {
      inputs.erase(inputs.begin());
      return fprintf(inputs);
    }
    bad_call(function, "only fprintf can be called through feval");
  }
  bad_call(function, "no such function");
}

Value NativeHost::rangesearch(const std::vector<Value>& inputs) {
  const char* fn = "rangesearch";
  if (inputs.size() != 7 || !is_text(inputs[3], "Distance") || !is_text(inputs[4], "euclidean") ||
      !is_text(inputs[5], "NSMethod") || !is_text(inputs[6], "kdtree")) {
    bad_call(fn, "expected (X, Y, r, 'Distance', 'euclidean', 'NSMethod', 'kdtree')");
  }
  const Value& x = points_argument(fn, inputs, 0);
  const Value& y = points_argument(fn, inputs, 1);
  const float radius = single_scalar_argument(fn, inputs[2], 2);
  const KdSearch search(x.f32.data(), x.dims[0]);
  const std::int64_t m = y.dims[0];
  Value out;
  out.cls = ValueClass::Cell;
  out.dims = {m, 1};
  out.cells.resize(static_cast<std::size_t>(m));
  // Queries are independent, so they are answered on all threads; the rows do not
  // depend on which thread answers them.
  const int threads = search_threads();
#ifdef _OPENMP
#pragma omp parallel for schedule(dynamic, 256) num_threads(threads)
#endif
  for (std::int64_t i = 0; i < m; ++i) {
    const float q[3] = {y.f32[static_cast<std::size_t>(i)], y.f32[static_cast<std::size_t>(m + i)],
                        y.f32[static_cast<std::size_t>(2 * m + i)]};
    const std::vector<std::int32_t> rows = search.within(q, radius);
    Value& row = out.cells[static_cast<std::size_t>(i)];
    row.cls = ValueClass::Double;
    row.dims = {1, static_cast<std::int64_t>(rows.size())};
    row.f64.reserve(rows.size());
    for (std::int32_t r : rows) row.f64.push_back(static_cast<double>(r) + 1.0);
  }
  return out;
}

Value NativeHost::knnsearch(const std::vector<Value>& inputs) {
  const char* fn = "knnsearch";
  if (inputs.size() != 6 || !is_text(inputs[2], "K") || !is_text(inputs[4], "NSMethod") ||
      !is_text(inputs[5], "kdtree")) {
    bad_call(fn, "expected (X, Y, 'K', k, 'NSMethod', 'kdtree')");
  }
  const Value& x = points_argument(fn, inputs, 0);
  const Value& y = points_argument(fn, inputs, 1);
  const float kf = single_scalar_argument(fn, inputs[3], 3);
  if (!(kf >= 1.0f) || kf != std::floor(kf)) bad_call(fn, "K must be a positive whole number");
  const auto k = static_cast<std::int64_t>(kf);
  if (k > x.dims[0]) bad_call(fn, "K exceeds the number of points");
  const KdSearch search(x.f32.data(), x.dims[0]);
  const std::int64_t m = y.dims[0];
  Value out;
  out.cls = ValueClass::Double;
  out.dims = {m, k};
  out.f64.assign(static_cast<std::size_t>(m * k), std::numeric_limits<double>::quiet_NaN());
  const int threads = search_threads();
#ifdef _OPENMP
#pragma omp parallel for schedule(dynamic, 256) num_threads(threads)
#endif
  for (std::int64_t i = 0; i < m; ++i) {
    const float q[3] = {y.f32[static_cast<std::size_t>(i)], y.f32[static_cast<std::size_t>(m + i)],
                        y.f32[static_cast<std::size_t>(2 * m + i)]};
    const std::vector<std::int32_t> rows = search.nearest(q, static_cast<std::int32_t>(k));
    for (std::size_t j = 0; j < rows.size(); ++j) {
      out.f64[static_cast<std::size_t>(i) + j * static_cast<std::size_t>(m)] = static_cast<double>(rows[j]) + 1.0;
    }
  }
  return out;
}

Value NativeHost::int32(const std::vector<Value>& inputs) {
  if (inputs.size() != 1 || inputs[0].cls != ValueClass::Double || inputs[0].is_complex) {
    bad_call("int32", "expected one real double array");
  }
  const Value& in = inputs[0];
  Value out;
  out.cls = ValueClass::Int32;
  out.dims = in.dims;
  out.i32.reserve(in.f64.size());
  for (double v : in.f64) {
    double r = std::round(v);
    if (std::isnan(r)) r = 0.0;
    if (r > 2147483647.0) r = 2147483647.0;
    if (r < -2147483648.0) r = -2147483648.0;
    out.i32.push_back(static_cast<std::int32_t>(r));
  }
  return out;
}

Value NativeHost::fprintf(const std::vector<Value>& inputs) {
  if (inputs.size() != 3 || inputs[0].numel() != 1 || inputs[0].cls != ValueClass::Double ||
      inputs[0].f64[0] != 1.0 || inputs[1].cls != ValueClass::Char) {
    bad_call("fprintf", "expected (1, format, value)");
  }
  const std::string format = expand_escapes(inputs[1].text);
  const Value& arg = inputs[2];
  if (arg.numel() != 1) bad_call("fprintf", "expected one scalar value");
  char buffer[512];
  int written = 0;
  if (format.find("%d") != std::string::npos) {
    long long v = 0;
    if (arg.cls == ValueClass::Int32) v = arg.i32[0];
    else if (arg.cls == ValueClass::Double) v = static_cast<long long>(arg.f64[0]);
    else if (arg.cls == ValueClass::Single) v = static_cast<long long>(arg.f32[0]);
    std::string f = format;
    f.replace(f.find("%d"), 2, "%lld");
    written = std::snprintf(buffer, sizeof buffer, f.c_str(), v);
  } else {
    double v = 0.0;
    if (arg.cls == ValueClass::Single) v = arg.f32[0];
    else if (arg.cls == ValueClass::Double) v = arg.f64[0];
    else if (arg.cls == ValueClass::Int32) v = arg.i32[0];
    written = std::snprintf(buffer, sizeof buffer, format.c_str(), v);
  }
  if (written < 0) bad_call("fprintf", "bad format");
  print(std::string_view(buffer, static_cast<std::size_t>(written) < sizeof buffer ? static_cast<std::size_t>(written)
                                                                                   : sizeof buffer - 1));
  return Value::double_scalar(static_cast<double>(written));
}

void NativeHost::print(std::string_view text) { print_parallel(text); }

void NativeHost::print_parallel(std::string_view text) {
  std::lock_guard<std::mutex> lock(console_mutex_);
  if (options_.console) {
    options_.console(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
}

int NativeHost::search_threads() const {
  int threads = options_.threads;
#ifdef _OPENMP
  if (threads <= 0) threads = omp_get_max_threads();
#endif
  return threads > 0 ? threads : 1;
}

int NativeHost::prepare_threads(int max_threads, int /*processors*/) {
  const int wanted = options_.threads > 0 ? options_.threads : max_threads;
  return wanted > 0 ? wanted : 1;
}

}  // namespace vandrel
