#pragma once
#include <cstdint>
#include <exception>
#include <mutex>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "host.h"

namespace vandrel {

/// True inside an active OpenMP parallel region.
inline bool in_parallel_region() {
#ifdef _OPENMP
  return omp_in_parallel() != 0;
#else
  return false;
#endif
}

/// Holds the first exception thrown by any thread of a parallel region, so that it can
/// be raised on the calling thread once the region has closed.
class FirstError {
 public:
  void capture(std::exception_ptr e) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_) error_ = std::move(e);
  }
  void rethrow_if_any() {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::mutex mutex_;
  std::exception_ptr error_;
};

/// The contiguous share of `n` points that thread `t` of `threads` processes: every
/// thread gets n / threads points and the first n % threads threads one more.
struct PointRange {
  std::int32_t begin;
  std::int32_t end;
};
inline PointRange thread_share(std::int32_t n, std::int32_t threads, std::int32_t t) {
  const std::int32_t base = n / threads;
  const std::int32_t extra = n % threads;
  const std::int32_t count = base + (t < extra ? 1 : 0);
  const std::int32_t begin = t * count + (t < extra ? 0 : extra);
  return {begin, begin + count};
}

/// Runs `share(worker_ctx, begin, end)` once per thread over contiguous ranges of
/// [0, n). Each thread gets its own run-time context (and so its own clean-up stack).
/// The first error raised by any thread ends that thread's share and is rethrown here
/// after the region has closed; the other threads finish their shares.
template <class Share>
void run_parallel_shares(Context& ctx, std::int32_t n, Share&& share) {
  int max_threads = 1;
  int processors = 1;
#ifdef _OPENMP
  max_threads = omp_get_max_threads();
  processors = omp_get_num_procs();
#endif
  const std::int32_t threads = ctx.host().prepare_threads(max_threads, processors);
  FirstError first_error;
#ifdef _OPENMP
#pragma omp parallel num_threads(threads)
#endif
  {
    // The runtime may grant fewer threads than asked for; split over those it granted.
    std::int32_t t = 0;
    std::int32_t granted = 1;
#ifdef _OPENMP
    t = omp_get_thread_num();
    granted = omp_get_num_threads();
#endif
    const PointRange range = thread_share(n, granted, t);
    try {
      Context worker(ctx.host());
      share(worker, range.begin, range.end);
    } catch (...) {
      first_error.capture(std::current_exception());
    }
  }
  first_error.rethrow_if_any();
}

}  // namespace vandrel
