#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "mex.h"
#include "runtime/host.h"

namespace vandrel {

/// Runs `function(data)` under the plug-in's global lock. Null in a build without threads.
using LockerFunction = void (*)(void (*function)(void* data), void* data);

/// The host services inside MATLAB or GNU Octave, over the standard MEX interface.
/// - Memory comes from the C heap, never from mxMalloc: workers allocate too, and the
///   host's allocator is neither thread-safe nor able to outlive the call. Live blocks are
///   counted process-wide so that a test can see that no path leaks.
/// - `call` runs a host function by name through mexCallMATLABWithTrap, so that a failing
///   function comes back as a vandrel::Error with the host's identifier and message.
///   (Octave's trap reports only "Octave:MEX" and the function's name, not its message.)
///   Inputs are double, single, int32, char or cell values (a cell being an earlier
///   output handed on). The output is imported whole; a class the filter cannot take
///   raises "Vandrel:classMismatch" naming "<output of FUNCTION>".
/// - The console is mexPrintf, which only the calling thread may use. Worker threads'
///   parallel prints are buffered under the global lock and written by the calling
///   thread at its next print or host call, when the next region starts, and at the end
///   of the call; the calling thread's own parallel prints go out at once.
/// Created on the calling thread, once per call of the plug-in.
class MexHost : public Host {
 public:
  explicit MexHost(LockerFunction locker);

  void* allocate(std::size_t bytes) override;
  void* allocate_zeroed(std::size_t count, std::size_t element_size) override;
  void release(void* block) override;
  Value call(std::string_view function, std::vector<Value> inputs) override;
  void print(std::string_view text) override;
  void print_parallel(std::string_view text) override;
  /// The region uses OpenMP's maximum, so OMP_NUM_THREADS in the host's environment rules.
  int prepare_threads(int max_threads, int processors) override;

  /// Writes the buffered worker output. Calling thread only.
  void flush_console();

  /// Blocks allocated by any MexHost and not yet released.
  static std::int64_t live_allocations();
  static void clear_allocation_count();

 private:
  bool on_calling_thread() const { return std::this_thread::get_id() == calling_thread_; }
  void run_locked(void (*function)(void* data), void* data);

  LockerFunction locker_;
  std::thread::id calling_thread_;
  std::string pending_;  // worker output not yet written; guarded by the global lock
};

/// Imports a host array into a Value: class, complex flag, extents and column-major
/// elements (real parts only; the caller rejects complex values). Cells are imported
/// element by element. Sparse arrays and classes other than double, single, int32, char,
/// logical and cell raise "Vandrel:classMismatch" naming `name`. Logical values carry
/// their extents only. Calling thread only.
Value import_host_value(const mxArray* a, const std::string& name);

/// Checks a host array as check_value does (class, complex flag, extents; the same
/// identifiers and messages) without copying its elements. Any class the host knows is
/// reported by its own name.
void check_host_value(const mxArray* a, ValueClass cls, bool is_complex, std::initializer_list<Extent> extents,
                      const std::string& name);

}  // namespace vandrel
