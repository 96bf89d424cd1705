#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vandrel {

/// Class of a value exchanged with the host, as the host language classifies it.
enum class ValueClass { Double, Single, Int32, Char, Logical, Cell };

/// Name of a class as the host spells it ("double", "single", "int32", "char", "logical", "cell").
const char* class_name(ValueClass cls);

/// A value handed to or received from the host: a class, a complex flag, extents and
/// column-major elements, like a host-language array. Only the vector that matches the
/// class is used; a cell keeps its elements in `cells`.
struct Value {
  ValueClass cls = ValueClass::Double;
  bool is_complex = false;
  std::vector<std::int64_t> dims{0, 0};
  std::vector<double> f64;
  std::vector<float> f32;
  std::vector<std::int32_t> i32;
  std::string text;
  std::vector<Value> cells;

  std::int64_t numel() const;

  static Value double_scalar(double v);
  static Value single_scalar(float v);
  static Value int32_scalar(std::int32_t v);
  static Value char_row(std::string s);
  /// A real single matrix of rows x cols taken from column-major data.
  static Value single_matrix(const float* data, std::int64_t rows, std::int64_t cols);
};

/// What a validation requires of one extent: an exact value, or any value (variable).
struct Extent {
  std::int64_t value;
  bool variable;
  static constexpr Extent fixed(std::int64_t v) { return {v, false}; }
  static constexpr Extent any() { return {0, true}; }
};

/// Checks a value received from the host against a class, real or complex, and the
/// extents of each dimension (a value with fewer dimensions counts trailing ones as 1).
/// Throws vandrel::Error naming `name` on the first mismatch:
///   "Vandrel:classMismatch", "Vandrel:complexMismatch" or "Vandrel:sizeMismatch".
void check_value(const Value& v, ValueClass cls, bool is_complex, std::initializer_list<Extent> extents,
                 const std::string& name);

}  // namespace vandrel
