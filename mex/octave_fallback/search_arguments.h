#pragma once
#include <cstdint>
#include <initializer_list>

#include "mex.h"

// The stand-ins' exported entry point: everything else is hidden.
#if defined(_WIN32)
#define VANDREL_SEARCH_EXPORT extern "C" __declspec(dllexport)
#else
#define VANDREL_SEARCH_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace vandrel {

/// The identifier of every error the stand-in searches raise.
inline constexpr const char* search_error_id = "Vandrel:fallback";

/// A point set or query set as the searches take it: a real, full single N x 3 matrix,
/// column-major (all x, then all y, then all z), N >= 0.
struct PointsArgument {
  const float* xyz;
  std::int64_t rows;
};

/// The point set in argument `position` (1-based) of `function`. Throws Error
/// (search_error_id) naming the argument unless it is a real, full single N x 3 matrix
/// with at most 2^31 - 1 rows.
PointsArgument points_argument(const char* function, const mxArray* argument, int position);

/// Throws Error (search_error_id) unless `given` are char rows equal to `words` one for
/// one, compared without regard to letter case, as the hosts' own option parsers compare.
void check_options(const char* function, std::initializer_list<const mxArray*> given,
                   std::initializer_list<const char*> words);

/// Throws Error (search_error_id) when more than one output is asked for.
void check_output_count(const char* function, int nlhs);

/// The query of row `i` of `queries`.
inline void query_row(const PointsArgument& queries, std::int64_t i, float query[3]) {
  query[0] = queries.xyz[i];
  query[1] = queries.xyz[queries.rows + i];
  query[2] = queries.xyz[2 * queries.rows + i];
}

using SearchFunction = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

/// Runs `search` as a MEX entry point: an Error, or running out of memory, becomes the
/// host's error once everything the search owned is freed.
void run_search(SearchFunction search, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

}  // namespace vandrel
