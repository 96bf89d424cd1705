#pragma once
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "core/host.h"
#include "vandrel/options.h"

namespace vandrel {

struct NativeHostOptions {
  /// Threads for the parallel loops and searches; 0 takes OpenMP's default.
  int threads = 0;
  /// Where console lines go; empty writes them to standard output.
  std::function<void(std::string_view)> console;
  /// Receives progress (stage, done, total); returning false stops the run with
  /// vandrel::Error "Vandrel:cancelled". Empty: no reports.
  std::function<bool(std::string_view, std::int64_t, std::int64_t)> progress;
};

/// The stand-alone host's options for a library call's options: checks the thread count
/// ("Vandrel:invalidThreads") first. The returned options refer to `options`.
NativeHostOptions native_host_options(const DenoiseOptions& options);

/// The threads a call runs on: options.threads, or OpenMP's default for 0.
int threads_for(const DenoiseOptions& options);

/// The whole filter over `points` with the stand-alone host and a call's options (their
/// selection aside): what a library call runs for a cloud held whole.
std::vector<Point> filter_natively(std::span<const Point> points, float sigma, float density,
                                   const DenoiseOptions& options);

/// The stand-alone host: exact k-d tree searches (see KdSearch) answered chunk by chunk
/// on all threads, and console lines formatted here.
class NativeHost : public Host {
 public:
  explicit NativeHost(NativeHostOptions options = {});

  std::unique_ptr<NeighbourSearch> radius_neighbours(std::span<const Point> points, float radius) override;
  std::unique_ptr<NeighbourSearch> nearest_neighbours(std::span<const Point> points, std::int32_t k, const CellGrid* grid) override;
  void pass_done(std::int32_t pass) override;
  void points_processed(float percent) override;
  int thread_count() override;
  void progress(const char* stage, std::int64_t done, std::int64_t total) override;

 private:
  void print(std::string_view text);
  NativeHostOptions options_;
};

}  // namespace vandrel
