#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>

#include "runtime/host.h"

namespace vandrel {

struct NativeHostOptions {
  /// Threads for the parallel loops; 0 takes OpenMP's default.
  int threads = 0;
  /// Where console lines go; empty writes them to standard output.
  std::function<void(std::string_view)> console;
};

/// The stand-alone host: the filter runs without MATLAB or Octave.
/// - Memory comes from the C heap; the number of live blocks is counted so that tests
///   can see that an error leaks nothing.
/// - "rangesearch" and "knnsearch" are exact k-d tree searches (see KdSearch) returning
///   1-based rows: a column cell of 1 x n double rows, and an N x K double matrix.
/// - "int32" rounds doubles half away from zero and saturates (NaN gives 0).
/// - "feval" with "fprintf" formats one argument for file identifier 1 (%d, %.2f, %%,
///   and the escape backslash-n) and returns the number of bytes written.
/// Unknown functions and wrong calling forms raise "Vandrel:hostCall".
class NativeHost : public Host {
 public:
  explicit NativeHost(NativeHostOptions options = {});

  void* allocate(std::size_t bytes) override;
  void* allocate_zeroed(std::size_t count, std::size_t element_size) override;
  void release(void* block) override;
  Value call(std::string_view function, std::vector<Value> inputs) override;
  void print(std::string_view text) override;
  void print_parallel(std::string_view text) override;
  int prepare_threads(int max_threads, int processors) override;

  /// Blocks allocated and not yet released.
  std::int64_t live_allocations() const { return live_.load(); }

 protected:
  virtual Value rangesearch(const std::vector<Value>& inputs);
  virtual Value knnsearch(const std::vector<Value>& inputs);
  virtual Value int32(const std::vector<Value>& inputs);
  virtual Value fprintf(const std::vector<Value>& inputs);

 private:
  int search_threads() const;

  NativeHostOptions options_;
  std::atomic<std::int64_t> live_{0};
  std::mutex console_mutex_;
};

}  // namespace vandrel
