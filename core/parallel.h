#pragma once
#include <cstdint>
#include <exception>
#include <mutex>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace vandrel {

/// Runs `share(thread, begin, end)` once per thread over contiguous ranges of [0, n):
/// every thread gets n / threads items and the first n % threads one more. An exception
/// thrown by any thread ends that thread's share and the first one is rethrown here once
/// all threads have finished. `thread` (0-based) lets a share use its own scratch.
template <class Share>
void for_each_share(int threads, std::int64_t n, Share&& share) {
  std::exception_ptr first_error;
  std::mutex error_mutex;
#ifdef _OPENMP
#pragma omp parallel num_threads(threads)
#endif
  {
    int t = 0;
    int granted = 1;
#ifdef _OPENMP
    // The runtime may grant fewer threads than asked for: split over those it granted.
    t = omp_get_thread_num();
    granted = omp_get_num_threads();
#endif
    const std::int64_t base = n / granted;
    const std::int64_t extra = n % granted;
    const std::int64_t begin = t * base + (t < extra ? t : extra);
    const std::int64_t end = begin + base + (t < extra ? 1 : 0);
    try {
      share(t, begin, end);
    } catch (...) {
      std::lock_guard<std::mutex> lock(error_mutex);
      if (!first_error) first_error = std::current_exception();
    }
  }
  if (first_error) std::rethrow_exception(first_error);
}

}  // namespace vandrel
