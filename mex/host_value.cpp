#include "mex/host_value.h"

#include <string>

#include "vandrel/error.h"

namespace vandrel {

const char* class_name(ValueClass cls) {
  switch (cls) {
    case ValueClass::Double: return "double";
    case ValueClass::Single: return "single";
    case ValueClass::Int32: return "int32";
    case ValueClass::Char: return "char";
    case ValueClass::Logical: return "logical";
    case ValueClass::Cell: return "cell";
  }
  return "unknown";
}

std::int64_t Value::numel() const {
  std::int64_t n = 1;
  for (std::int64_t d : dims) n *= d;
  return n;
}

Value Value::double_scalar(double v) {
  Value out;
  out.cls = ValueClass::Double;
  out.dims = {1, 1};
  out.f64 = {v};
  return out;
}

Value Value::single_scalar(float v) {
  Value out;
  out.cls = ValueClass::Single;
  out.dims = {1, 1};
  out.f32 = {v};
  return out;
}

Value Value::int32_scalar(std::int32_t v) {
  Value out;
  out.cls = ValueClass::Int32;
  out.dims = {1, 1};
  out.i32 = {v};
  return out;
}

Value Value::char_row(std::string s) {
  Value out;
  out.cls = ValueClass::Char;
  out.dims = {1, static_cast<std::int64_t>(s.size())};
  out.text = std::move(s);
  return out;
}

Value Value::single_matrix(const float* data, std::int64_t rows, std::int64_t cols) {
  Value out;
  out.cls = ValueClass::Single;
  out.dims = {rows, cols};
  out.f32.assign(data, data + rows * cols);
  return out;
}

namespace {

std::string dims_text(const std::vector<std::int64_t>& dims) {
  std::string s;
  for (std::size_t k = 0; k < dims.size(); ++k) {
    if (k > 0) s += "x";
    s += std::to_string(dims[k]);
  }
  return s;
}

std::string expected_text(std::initializer_list<Extent> extents) {
  std::string s;
  bool first = true;
  for (const Extent& e : extents) {
    if (!first) s += "x";
    s += e.variable ? std::string(":") : std::to_string(e.value);
    first = false;
  }
  return s;
}

}  // namespace

void check_value(const Value& v, ValueClass cls, bool is_complex, std::initializer_list<Extent> extents,
                 const std::string& name) {
  if (v.cls != cls) {
    throw Error("Vandrel:classMismatch", "Expected " + name + " to be of class " + class_name(cls) +
                                             ", but it is of class " + class_name(v.cls) + ".");
  }
  if (v.is_complex != is_complex) {
    throw Error("Vandrel:complexMismatch",
                "Expected " + name + " to be " + (is_complex ? "complex" : "real") + ", but it is " +
                    (v.is_complex ? "complex" : "real") + ".");
  }
  bool ok = v.dims.size() <= extents.size();
  std::size_t k = 0;
  for (const Extent& e : extents) {
    const std::int64_t actual = k < v.dims.size() ? v.dims[k] : 1;
    if (!e.variable && actual != e.value) ok = false;
    ++k;
  }
  if (!ok) {
    throw Error("Vandrel:sizeMismatch", "Expected " + name + " to be of size " + expected_text(extents) +
                                            ", but it is of size " + dims_text(v.dims) + ".");
  }
}

}  // namespace vandrel
