#include "mex/mex_host.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "vandrel/error.h"

namespace vandrel {
namespace {

struct DestroyHostArray {
  void operator()(mxArray* a) const { mxDestroyArray(a); }
};
using HostArray = std::unique_ptr<mxArray, DestroyHostArray>;

// The Value class of a host array; nothing for what the filter never takes (sparse
// arrays, structures, objects, other numeric classes).
std::optional<ValueClass> value_class(const mxArray* a) {
  if (mxIsSparse(a)) return std::nullopt;
  switch (mxGetClassID(a)) {
    case mxDOUBLE_CLASS: return ValueClass::Double;
    case mxSINGLE_CLASS: return ValueClass::Single;
    case mxINT32_CLASS: return ValueClass::Int32;
    case mxCHAR_CLASS: return ValueClass::Char;
    case mxLOGICAL_CLASS: return ValueClass::Logical;
    case mxCELL_CLASS: return ValueClass::Cell;
    default: return std::nullopt;
  }
}

std::string host_class_name(const mxArray* a) {
  return std::string(mxGetClassName(a)) + (mxIsSparse(a) ? " (sparse)" : "");
}

// Class, complex flag and extents of a host array, without its elements.
Value header(const mxArray* a, ValueClass cls) {
  Value v;
  v.cls = cls;
  v.is_complex = mxIsComplex(a);
  const mwSize count = mxGetNumberOfDimensions(a);
  const mwSize* dims = mxGetDimensions(a);
  v.dims.assign(dims, dims + count);
  return v;
}

template <class T>
void copy_elements(const mxArray* a, std::vector<T>& into) {
  into.resize(mxGetNumberOfElements(a));
  if (!into.empty()) std::memcpy(into.data(), mxGetData(a), into.size() * sizeof(T));
}

std::string text_of(const mxArray* a) {
  if (a == nullptr || !mxIsChar(a)) return {};
  char* s = mxArrayToString(a);
  std::string out = s != nullptr ? s : "";
  mxFree(s);
  return out;
}

// A field of the exception a trapped call returns: Octave gives a structure, MATLAB an
// MException object.
std::string exception_field(const mxArray* exception, const char* field) {
  if (mxIsStruct(exception)) return text_of(mxGetField(exception, 0, field));
  const HostArray property(mxGetProperty(exception, 0, field));
  return text_of(property.get());
}

std::vector<mwSize> host_dims(const Value& v) { return {v.dims.begin(), v.dims.end()}; }

HostArray numeric_array(const Value& v, mxClassID id, const void* data, std::size_t element_size) {
  const std::vector<mwSize> dims = host_dims(v);
  HostArray a(mxCreateNumericArray(dims.size(), dims.data(), id, mxREAL));
  const auto count = static_cast<std::size_t>(v.numel());
  if (count > 0) std::memcpy(mxGetData(a.get()), data, count * element_size);
  return a;
}

HostArray to_host_array(const Value& v) {
  switch (v.cls) {
    case ValueClass::Cell: {
      // A host output handed on to another host function, as knnsearch's goes to int32.
      const std::vector<mwSize> dims = host_dims(v);
      HostArray a(mxCreateCellArray(dims.size(), dims.data()));
      for (std::size_t i = 0; i < v.cells.size(); ++i) mxSetCell(a.get(), i, to_host_array(v.cells[i]).release());
      return a;
    }
    case ValueClass::Double: return numeric_array(v, mxDOUBLE_CLASS, v.f64.data(), sizeof(double));
    case ValueClass::Single: return numeric_array(v, mxSINGLE_CLASS, v.f32.data(), sizeof(float));
    case ValueClass::Int32: return numeric_array(v, mxINT32_CLASS, v.i32.data(), sizeof(std::int32_t));
    case ValueClass::Char: return HostArray(mxCreateString(v.text.c_str()));
    default: break;
  }
  throw Error("Vandrel:hostCall", std::string("A ") + class_name(v.cls) + " value cannot be passed to the host.");
}


// Lists held whole, as the host answered them, and handed out by range: narrowed to the
// region asked for, and in ascending row order, as the filter takes them.
class HeldLists : public NeighbourSearch {
 public:
  HeldLists(NeighbourLists lists, bool ascending) : lists_(std::move(lists)), ascending_(ascending) {}
  void find(std::int64_t begin, std::int64_t end, const Narrowing* narrowing, NeighbourLists& out) override {
    std::vector<std::int32_t> list;
    for (std::int64_t i = begin; i < end; ++i) {
      list.clear();
      for (const std::int32_t row : lists_[i]) {
        if (narrowing == nullptr ||
            narrowing->regions[static_cast<std::size_t>(i - begin)].holds(narrowing->positions[static_cast<std::size_t>(row)])) {
          list.push_back(row);
        }
      }
      if (narrowing != nullptr) {
        std::sort(list.begin(), list.end(), [&](std::int32_t a, std::int32_t b) {
          return narrowing->grid.before(narrowing->positions[static_cast<std::size_t>(a)], a,
                                        narrowing->positions[static_cast<std::size_t>(b)], b);
        });
      } else if (ascending_) {
        std::sort(list.begin(), list.end());
      }
      out.append(list);
    }
  }

 private:
  NeighbourLists lists_;
  bool ascending_;  // radius lists come by distance from the host
};

Value points_value(std::span<const Point> points) {
  const auto n = static_cast<std::int64_t>(points.size());
  Value v;
  v.cls = ValueClass::Single;
  v.dims = {n, 3};
  v.f32.resize(3 * points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    for (std::size_t c = 0; c < 3; ++c) v.f32[i + points.size() * c] = points[i][c];
  }
  return v;
}

}  // namespace

std::unique_ptr<NeighbourSearch> MexHost::radius_neighbours(std::span<const Point> points, float radius) {
  const auto m = static_cast<std::int64_t>(points.size());
  const Value cloud = points_value(points);
  Value out = call("rangesearch", {cloud, cloud, Value::single_scalar(radius), Value::char_row("Distance"),
                                   Value::char_row("euclidean"), Value::char_row("NSMethod"), Value::char_row("kdtree")});
  const std::string name = "<output of rangesearch>";
  check_value(out, ValueClass::Cell, false, {Extent::fixed(m), Extent::fixed(1)}, name);

  // Every row is checked, so that a faulty host cannot make the filter index outside the
  // block; each host row is released as soon as it is packed.
  NeighbourLists lists;
  std::vector<std::int32_t> list;
  for (std::int64_t i = 0; i < m; ++i) {
    Value& row = out.cells[static_cast<std::size_t>(i)];
    const std::string element = name + "{" + std::to_string(i + 1) + "}";
    check_value(row, ValueClass::Double, false, {Extent::fixed(1), Extent::any()}, element);
    list.clear();
    bool has_self = false;
    for (double v : row.f64) {
      const double r = std::round(v);
      if (!(r >= 1.0 && r <= static_cast<double>(m))) {
        throw Error("Vandrel:badNeighbourList", element + " holds " + std::to_string(v) +
                                                    ", which is not a row number of the block (1 to " +
                                                    std::to_string(m) + ").");
      }
      list.push_back(static_cast<std::int32_t>(r) - 1);
      has_self = has_self || list.back() == i;
    }
    if (!has_self) {
      throw Error("Vandrel:badNeighbourList", element + " does not list point " + std::to_string(i + 1) + " itself.");
    }
    lists.append(list);
    row = Value();
  }
  return std::make_unique<HeldLists>(std::move(lists), true);
}

std::unique_ptr<NeighbourSearch> MexHost::nearest_neighbours(std::span<const Point> points, std::int32_t k, const CellGrid*) {
  const auto n = static_cast<std::int64_t>(points.size());
  const Value cloud = points_value(points);
  Value nearest = call("knnsearch", {cloud, cloud, Value::char_row("K"), Value::single_scalar(static_cast<float>(k)),
                                     Value::char_row("NSMethod"), Value::char_row("kdtree")});
  std::vector<Value> conversion;
  conversion.push_back(std::move(nearest));
  const Value rows = call("int32", std::move(conversion));
  const std::string name = "<output of int32>";
  // Exactly one row per point: anything else would make the filter read outside the table.
  check_value(rows, ValueClass::Int32, false, {Extent::fixed(n), Extent::fixed(k)}, name);
  for (const std::int32_t row : rows.i32) {
    if (row < 1 || row > n) {
      throw Error("Vandrel:badNeighbourTable", name + " holds " + std::to_string(row) +
                                                   ", which is not a row number of the block (1 to " +
                                                   std::to_string(n) + ").");
    }
  }
  NeighbourLists lists;
  std::vector<std::int32_t> list(static_cast<std::size_t>(k));
  for (std::int64_t i = 0; i < n; ++i) {
    for (std::int64_t r = 0; r < k; ++r) list[static_cast<std::size_t>(r)] = rows.i32[static_cast<std::size_t>(i + n * r)] - 1;
    lists.append(list);
  }
  return std::make_unique<HeldLists>(std::move(lists), false);
}

void MexHost::pass_done(std::int32_t pass) {
  print("////////////////////// itr = %d done ////////////////////// \\n", Value::int32_scalar(pass));
}

void MexHost::points_processed(float percent) {
  print("%.2f%% of points processed\\n", Value::single_scalar(percent));
}

int MexHost::thread_count() {
#ifdef _OPENMP
  const int threads = omp_get_max_threads();
  return threads > 0 ? threads : 1;
#else
  return 1;
#endif
}

void MexHost::print(const char* format, Value value) {
  const Value written = call("feval", {Value::char_row("fprintf"), Value::double_scalar(1.0), Value::char_row(format),
                                       std::move(value)});
  check_value(written, ValueClass::Double, false, {Extent::fixed(1), Extent::fixed(1)}, "<output of feval>");
}

Value MexHost::call(const std::string& function, std::vector<Value> inputs) {
  std::vector<HostArray> owned;
  std::vector<mxArray*> arguments;
  for (const Value& v : inputs) {
    owned.push_back(to_host_array(v));
    arguments.push_back(owned.back().get());
  }
  mxArray* outputs[1] = {nullptr};
  const HostArray exception(mexCallMATLABWithTrap(1, outputs, static_cast<int>(arguments.size()), arguments.data(),
                                                  function.c_str()));
  const HostArray output(outputs[0]);
  if (exception) {
    std::string identifier = exception_field(exception.get(), "identifier");
    std::string message = exception_field(exception.get(), "message");
    throw Error(identifier.empty() ? "Vandrel:hostCall" : std::move(identifier),
                message.empty() ? function + " failed." : std::move(message));
  }
  if (!output) throw Error("Vandrel:hostCall", "The host function " + function + " returned no value.");
  return import_host_value(output.get(), "<output of " + function + ">");
}

Value import_host_value(const mxArray* a, const std::string& name) {
  const std::optional<ValueClass> cls = value_class(a);
  if (!cls) {
    throw Error("Vandrel:classMismatch", "Expected " + name +
                                             " to be of class double, single, int32, char, logical or cell, but it "
                                             "is of class " + host_class_name(a) + ".");
  }
  Value v = header(a, *cls);
  switch (*cls) {
    case ValueClass::Double: copy_elements(a, v.f64); break;
    case ValueClass::Single: copy_elements(a, v.f32); break;
    case ValueClass::Int32: copy_elements(a, v.i32); break;
    case ValueClass::Char: v.text = text_of(a); break;
    case ValueClass::Logical: break;
    case ValueClass::Cell: {
      const mwSize count = mxGetNumberOfElements(a);
      v.cells.reserve(count);
      for (mwSize i = 0; i < count; ++i) {
        const mxArray* element = mxGetCell(a, i);
        // An element never assigned is an empty double array.
        v.cells.push_back(element != nullptr ? import_host_value(element, name) : Value{});
      }
      break;
    }
  }
  return v;
}

void check_host_value(const mxArray* a, ValueClass cls, bool is_complex, std::initializer_list<Extent> extents,
                      const std::string& name) {
  if (value_class(a) != cls) {
    // A numeric array of another class (a double cloud from load(), say) converts in one call.
    const std::string advice = cls == ValueClass::Single && mxIsNumeric(a) && !mxIsSparse(a)
                                   ? " Convert it with single(" + name + ")."
                                   : "";
    throw Error("Vandrel:classMismatch", "Expected " + name + " to be of class " + class_name(cls) +
                                             ", but it is of class " + host_class_name(a) + "." + advice);
  }
  check_value(header(a, cls), cls, is_complex, extents, name);
}

}  // namespace vandrel
