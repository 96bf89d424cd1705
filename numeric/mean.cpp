#include "numeric/mean.h"

#include <cstdint>

#include "runtime/rt_nonfinite.h"

namespace vandrel {
namespace {

constexpr std::int32_t block_length = 1024;

float sum_left_to_right(const float* x, std::int32_t count) {
  float s = x[0];
  for (std::int32_t k = 1; k < count; ++k) s += x[k];
  return s;
}

}  // namespace

float mean(const emxArray_real32_T* x) {
  const std::int32_t n = x->size[0];
  if (n < 1) return rtNaNF;
  if (n <= block_length) return sum_left_to_right(x->data, n) / static_cast<float>(n);

  std::int32_t block_count = n / block_length;
  std::int32_t last_length = n - block_count * block_length;
  if (last_length > 0) {
    ++block_count;
  } else {
    last_length = block_length;
  }
  float total = sum_left_to_right(x->data, block_length);
  for (std::int32_t block = 1; block < block_count; ++block) {
    const std::int32_t length = block == block_count - 1 ? last_length : block_length;
    total += sum_left_to_right(x->data + block * block_length, length);
  }
  return total / static_cast<float>(n);
}

}  // namespace vandrel
