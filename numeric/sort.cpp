#include "numeric/sort.h"

#include "numeric/sortLE.h"

namespace vandrel {

void sort(creal32_T x[3], std::int32_t n, std::int32_t idx[3]) {
  // Bottom-up merge sort on 1-based positions; x itself stays put until the end so that
  // every comparison sees the input values at their input positions.
  for (std::int32_t k = 1; k + 1 <= n; k += 2) {
    if (sortLE(x, k, k + 1)) {
      idx[k - 1] = k;
      idx[k] = k + 1;
    } else {
      idx[k - 1] = k + 1;
      idx[k] = k;
    }
  }
  if (n % 2 == 1) idx[n - 1] = n;

  std::int32_t merged[3];
  for (std::int32_t run = 2; run < n; run *= 2) {
    for (std::int32_t left = 0; left + run < n; left += 2 * run) {
      const std::int32_t mid = left + run;
      const std::int32_t right_end = mid + run < n ? mid + run : n;
      std::int32_t p = left;
      std::int32_t q = mid;
      std::int32_t out = 0;
      while (p < mid && q < right_end) {
        if (sortLE(x, idx[p], idx[q])) {
          merged[out++] = idx[p++];
        } else {
          merged[out++] = idx[q++];
        }
      }
      while (p < mid) merged[out++] = idx[p++];
      while (q < right_end) merged[out++] = idx[q++];
      for (std::int32_t k = 0; k < out; ++k) idx[left + k] = merged[k];
    }
  }

  creal32_T original[3];
  for (std::int32_t k = 0; k < n; ++k) original[k] = x[k];
  for (std::int32_t k = 0; k < n; ++k) x[k] = original[idx[k] - 1];
}

}  // namespace vandrel
