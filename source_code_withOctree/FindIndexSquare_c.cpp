#include "source_code_withOctree/FindIndexSquare_c.h"

namespace vandrel {

void FindIndexSquare(const float* points, std::int32_t K, const float bounds[6], std::int32_t* index_buffer,
                     std::int32_t* count) {
  *count = 0;
  if (K < 1) return;
  const float* u = points;
  const float* v = points + K;
  const float* w = points + 2 * K;

  // Three passes over one buffer, each visiting only the survivors of the one before;
  // rows are 0-based until the last pass stores them 1-based.
  std::int32_t kept = 0;
  for (std::int32_t r = 0; r < K; ++r) {
    if (bounds[0] < u[r] && u[r] < bounds[3]) index_buffer[kept++] = r;
  }
  if (kept == 0) return;

  const std::int32_t after_u = kept;
  kept = 0;
  for (std::int32_t k = 0; k < after_u; ++k) {
    const std::int32_t r = index_buffer[k];
    if (bounds[1] < v[r] && v[r] < bounds[4]) index_buffer[kept++] = r;
  }
  if (kept == 0) return;

  const std::int32_t after_v = kept;
  kept = 0;
  for (std::int32_t k = 0; k < after_v; ++k) {
    const std::int32_t r = index_buffer[k];
    if (bounds[2] < w[r] && w[r] < bounds[5]) index_buffer[kept++] = r + 1;
  }
  *count = kept;
}

}  // namespace vandrel
