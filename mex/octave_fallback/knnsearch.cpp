// Octave's stand-in for knnsearch, in the one calling form the plug-in uses:
//   idx = knnsearch(X, Y, 'K', k, 'NSMethod', 'kdtree')
// X and Y are real single N x 3 and M x 3 matrices, k a real whole number, 1 <= k <= N,
// of any numeric class (the option words in any letter case). idx is an M x k double
// matrix; row i lists the 1-based rows of X nearest to Y(i,:), squared distances
// computed in double as ((dx*dx + dy*dy) + dz*dz), nearest first, equal distances in
// ascending row order. Rows of X with a non-finite coordinate are never found: where
// fewer than k rows remain, and for a query with a non-finite coordinate, the missing
// entries are NaN. The same table as reference/knnsearch.m, found with the stand-alone
// host's k-d tree. Errors: Vandrel:fallback for any other calling form.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "vandrel/error.h"
#include "host/kd_search.h"
#include "search_arguments.h"

namespace vandrel {
namespace {

constexpr const char* function_name = "knnsearch";

double neighbour_count_argument(const mxArray* argument) {
  const bool real_scalar = mxIsNumeric(argument) && !mxIsComplex(argument) && !mxIsSparse(argument) &&
                           mxGetNumberOfElements(argument) == 1;
  const double k = real_scalar ? mxGetScalar(argument) : std::numeric_limits<double>::quiet_NaN();
  if (!(k >= 1.0) || k != std::floor(k)) throw Error(search_error_id, "knnsearch: K must be a positive whole number");
  return k;
}

void knnsearch(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nrhs != 6) throw Error(search_error_id, "knnsearch: expected (X, Y, 'K', k, 'NSMethod', 'kdtree')");
  check_output_count(function_name, nlhs);
  check_options(function_name, {prhs[2], prhs[4], prhs[5]}, {"K", "NSMethod", "kdtree"});
  const double k = neighbour_count_argument(prhs[3]);
  const PointsArgument points = points_argument(function_name, prhs[0], 1);
  const PointsArgument queries = points_argument(function_name, prhs[1], 2);
  if (k > static_cast<double>(points.rows)) throw Error(search_error_id, "knnsearch: K exceeds the number of points");
  const auto count = static_cast<std::int32_t>(k);

  const KdSearch search(points.xyz, points.rows);
  mxArray* nearest = mxCreateDoubleMatrix(static_cast<mwSize>(queries.rows), static_cast<mwSize>(count), mxREAL);
  double* table = static_cast<double*>(mxGetData(nearest));
  const auto m = static_cast<std::size_t>(queries.rows);
  std::fill(table, table + m * static_cast<std::size_t>(count), std::numeric_limits<double>::quiet_NaN());
  // Each query writes only its own row of the table, so the threads never meet.
  std::atomic<bool> out_of_memory = false;
#ifdef _OPENMP
#pragma omp parallel for schedule(dynamic, 256)
#endif
  for (std::int64_t i = 0; i < queries.rows; ++i) {
    float query[3];
    query_row(queries, i, query);
    try {
      const std::vector<std::int32_t> rows = search.nearest(query, count);
      for (std::size_t j = 0; j < rows.size(); ++j) {
        table[static_cast<std::size_t>(i) + j * m] = static_cast<double>(rows[j]) + 1.0;
      }
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
  }
  if (out_of_memory) throw std::bad_alloc();
  plhs[0] = nearest;
}

}  // namespace
}  // namespace vandrel

VANDREL_SEARCH_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  vandrel::run_search(&vandrel::knnsearch, nlhs, plhs, nrhs, prhs);
}
