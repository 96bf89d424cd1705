#pragma once
// Runs the filter entry through a given host, as the front ends do.
#include <cstdint>
#include <vector>

#include "runtime/Vandrel_emxutil.h"
#include "source_code_withOctree/Vandrel.h"

namespace vandrel::fixtures {

/// Filters a column-major N x 3 cloud through `host`; returns the column-major result.
inline std::vector<float> run_filter(Host& host, std::vector<float> cloud, float sigma, float density) {
  Context ctx(host);
  CleanupScope scope(ctx);
  emxArray_real32_T* in = nullptr;
  emxArray_real32_T* out = nullptr;
  emxInit_real32_T(ctx, &in, 2, true);
  emxInit_real32_T(ctx, &out, 2, true);
  const auto n = static_cast<std::int32_t>(cloud.size() / 3);
  in->data = cloud.data();
  in->size[0] = n;
  in->size[1] = 3;
  in->capacity = 3 * n;
  in->ownsData = false;
  Vandrel(ctx, in, sigma, density, out);
  std::vector<float> result(out->data, out->data + 3 * n);
  emxFree_real32_T(ctx, &out);
  emxFree_real32_T(ctx, &in);
  return result;
}

/// Column-major copy of a row-major list of points.
inline std::vector<float> column_major(const std::vector<float>& rows) {
  const std::size_t n = rows.size() / 3;
  std::vector<float> out(rows.size());
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < 3; ++c) out[i + n * c] = rows[3 * i + c];
  }
  return out;
}

}  // namespace vandrel::fixtures
