#pragma once
// Single-precision dynamic arrays for tests: made from a shape and column-major values,
// freed when the test's array goes out of scope.
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "runtime/Vandrel_emxutil.h"

namespace vandrel::fixtures {

class TestArray {
 public:
  TestArray(Context& ctx, std::initializer_list<std::int32_t> shape, const std::vector<float>& values = {})
      : ctx_(ctx) {
    emxInit_real32_T(ctx_, &array_, static_cast<std::int32_t>(shape.size()), false);
    std::int32_t k = 0;
    for (const std::int32_t extent : shape) array_->size[k++] = extent;
    emxEnsureCapacity_real32_T(ctx_, array_, 0);
    for (std::size_t i = 0; i < values.size(); ++i) array_->data[i] = values[i];
  }
  TestArray(const TestArray&) = delete;
  TestArray& operator=(const TestArray&) = delete;
  ~TestArray() { emxFree_real32_T(ctx_, &array_); }

  emxArray_real32_T* get() { return array_; }
  std::int32_t size(std::int32_t dim) const { return array_->size[dim]; }
  std::int32_t numel() const { return emx_numel(array_); }
  float operator[](std::int32_t k) const { return array_->data[k]; }
  std::vector<float> values() const { return {array_->data, array_->data + numel()}; }

 private:
  Context& ctx_;
  emxArray_real32_T* array_ = nullptr;
};

}  // namespace vandrel::fixtures
