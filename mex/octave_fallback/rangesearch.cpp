// Octave's stand-in for rangesearch, in the one calling form the plug-in uses:
//   idx = rangesearch(X, Y, r, 'Distance', 'euclidean', 'NSMethod', 'kdtree')
// X and Y are real single N x 3 and M x 3 matrices, r a real scalar (single, or a double
// that single precision holds exactly; the option words in any letter case). idx is an
// M x 1 cell; idx{i} is a 1 x n double row of the 1-based rows of X whose squared
// distance to Y(i,:), computed in double as ((dx*dx + dy*dy) + dz*dz), is at most
// double(r)^2, nearest first, equal distances in ascending row order. A row with a
// non-finite coordinate is never found and finds nothing; a negative or NaN radius finds
// nothing. The same rows, in the same order, as reference/rangesearch.m, found with the
// stand-alone host's k-d tree. Errors: Vandrel:fallback for any other calling form.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "vandrel/error.h"
#include "host/kd_search.h"
#include "search_arguments.h"

namespace vandrel {
namespace {

constexpr const char* function_name = "rangesearch";

float radius_argument(const mxArray* argument) {
  const bool real_scalar = mxIsNumeric(argument) && !mxIsComplex(argument) && !mxIsSparse(argument) &&
                           mxGetNumberOfElements(argument) == 1;
  if (real_scalar && mxIsSingle(argument)) return *static_cast<const float*>(mxGetData(argument));
  if (real_scalar && mxIsDouble(argument)) {
    // The search compares with the radius widened from single; a double radius is taken
    // only when that widening gives it back, so that no rounding changes what is found.
    const double radius = *static_cast<const double*>(mxGetData(argument));
    const auto narrowed = static_cast<float>(radius);
    if (static_cast<double>(narrowed) == radius || std::isnan(radius)) return narrowed;
  }
  throw Error(search_error_id,
              "rangesearch: r must be a real single scalar (or a double scalar that single precision holds exactly)");
}

void rangesearch(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nrhs != 7) {
    throw Error(search_error_id, "rangesearch: expected (X, Y, r, 'Distance', 'euclidean', 'NSMethod', 'kdtree')");
  }
  check_output_count(function_name, nlhs);
  check_options(function_name, {prhs[3], prhs[4], prhs[5], prhs[6]}, {"Distance", "euclidean", "NSMethod", "kdtree"});
  const float radius = radius_argument(prhs[2]);
  const PointsArgument points = points_argument(function_name, prhs[0], 1);
  const PointsArgument queries = points_argument(function_name, prhs[1], 2);

  const KdSearch search(points.xyz, points.rows);
  mxArray* found = mxCreateCellMatrix(static_cast<mwSize>(queries.rows), 1);
  // Queries are answered on all threads a chunk at a time; the host's arrays are made
  // afterwards on this thread, since the host's allocator is not thread-safe.
  constexpr std::int64_t chunk_size = 4096;
  std::vector<std::vector<std::int32_t>> chunk_rows(static_cast<std::size_t>(chunk_size));
  for (std::int64_t begin = 0; begin < queries.rows; begin += chunk_size) {
    const std::int64_t end = std::min(queries.rows, begin + chunk_size);
    std::atomic<bool> out_of_memory = false;
#ifdef _OPENMP
#pragma omp parallel for schedule(dynamic, 64)
#endif
    for (std::int64_t i = begin; i < end; ++i) {
      float query[3];
      query_row(queries, i, query);
      try {
        chunk_rows[static_cast<std::size_t>(i - begin)] = search.within(query, radius);
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      }
    }
    if (out_of_memory) throw std::bad_alloc();
    for (std::int64_t i = begin; i < end; ++i) {
      std::vector<std::int32_t>& rows = chunk_rows[static_cast<std::size_t>(i - begin)];
      mxArray* row = mxCreateDoubleMatrix(1, rows.size(), mxREAL);
      auto* one_based = static_cast<double*>(mxGetData(row));
      for (std::size_t k = 0; k < rows.size(); ++k) one_based[k] = static_cast<double>(rows[k]) + 1.0;
      mxSetCell(found, static_cast<mwIndex>(i), row);
      std::vector<std::int32_t>().swap(rows);
    }
  }
  plhs[0] = found;
}

}  // namespace
}  // namespace vandrel

VANDREL_SEARCH_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  vandrel::run_search(&vandrel::rangesearch, nlhs, plhs, nrhs, prhs);
}
