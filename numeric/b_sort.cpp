#include "numeric/b_sort.h"

namespace vandrel {

void b_sort(double x[3], std::int32_t n, std::int32_t idx[3]) {
  // A fixed decision tree for up to three values; `<=` between an earlier and a later
  // position keeps ties in input order.
  if (n == 1) {
    idx[0] = 1;
  } else if (n == 2) {
    if (x[0] <= x[1]) {
      idx[0] = 1;
      idx[1] = 2;
    } else {
      idx[0] = 2;
      idx[1] = 1;
    }
  } else if (n == 3) {
    if (x[0] <= x[1]) {
      if (x[2] >= x[1]) {
        idx[0] = 1;
        idx[1] = 2;
        idx[2] = 3;
      } else if (x[2] >= x[0]) {
        idx[0] = 1;
        idx[1] = 3;
        idx[2] = 2;
      } else {
        idx[0] = 3;
        idx[1] = 1;
        idx[2] = 2;
      }
    } else {
      if (x[2] >= x[0]) {
        idx[0] = 2;
        idx[1] = 1;
        idx[2] = 3;
      } else if (x[2] >= x[1]) {
        idx[0] = 2;
        idx[1] = 3;
        idx[2] = 1;
      } else {
        idx[0] = 3;
        idx[1] = 2;
        idx[2] = 1;
      }
    }
  }

  double original[3];
  for (std::int32_t k = 0; k < n; ++k) original[k] = x[k];
  for (std::int32_t k = 0; k < n; ++k) x[k] = original[idx[k] - 1];
}

}  // namespace vandrel
