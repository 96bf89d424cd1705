#pragma once
#include <string>
#include <vector>

#include "core/host.h"
#include "mex.h"
#include "mex/host_value.h"

namespace vandrel {

/// The filter's host inside MATLAB or GNU Octave, over the standard MEX interface. It
/// asks the host language for its neighbour searches and prints through it:
/// - radius lists: rangesearch(X, X, r, 'Distance', 'euclidean', 'NSMethod', 'kdtree'),
///   once per block; the answer is checked (an M x 1 cell of 1 x n double rows of block
///   rows, each holding its own point), packed into 32-bit rows and released at once;
/// - nearest lists: int32(knnsearch(X, X, 'K', 50, 'NSMethod', 'kdtree')), once per
///   pass, checked (N x 50 rows of the block);
/// - console lines: feval('fprintf', 1, format, value).
/// A failing host function comes back as a vandrel::Error with the host's identifier and
/// message (Octave's trap reports only "Octave:MEX" and the function's name). Calling
/// thread only; created once per call of the plug-in.
class MexHost : public Host {
 public:
  std::unique_ptr<NeighbourSearch> radius_neighbours(std::span<const Point> points, float radius) override;
  std::unique_ptr<NeighbourSearch> nearest_neighbours(std::span<const Point> points, std::int32_t k, const CellGrid* grid) override;
  void pass_done(std::int32_t pass) override;
  void points_processed(float percent) override;
  /// OpenMP's maximum, so OMP_NUM_THREADS in the host's environment rules.
  int thread_count() override;

 private:
  Value call(const std::string& function, std::vector<Value> inputs);
  void print(const char* format, Value value);
};

/// Imports a host array into a Value: class, complex flag, extents and column-major
/// elements (real parts only; the caller rejects complex values). Cells are imported
/// element by element. Sparse arrays and classes other than double, single, int32, char,
/// logical and cell raise "Vandrel:classMismatch" naming `name`. Logical values carry
/// their extents only.
Value import_host_value(const mxArray* a, const std::string& name);

/// Checks a host array as check_value does (class, complex flag, extents; the same
/// identifiers and messages) without copying its elements. Any class the host knows is
/// reported by its own name.
void check_host_value(const mxArray* a, ValueClass cls, bool is_complex, std::initializer_list<Extent> extents,
                      const std::string& name);

}  // namespace vandrel
