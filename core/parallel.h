#pragma once
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>

namespace vandrel {

/// Runs body(t) for every t in [0, threads) at once, t = 0 on the calling thread and the
/// others on worker threads that the calling thread keeps for its later calls. A thread
/// that waits (for work, or for the others to finish) sleeps rather than spins, so that
/// waiting costs no CPU time even on a machine busy with other work. Called from inside a
/// body, it runs every t in turn on that thread. Returns when every body has returned. A
/// body run on a worker must not throw.
void run_on_threads(int threads, const std::function<void(int)>& body);

/// Runs `share(thread, begin, end)` once per thread over contiguous ranges of [0, n):
/// every thread gets n / threads items and the first n % threads one more. An exception
/// thrown by any thread ends that thread's share and the first one is rethrown here once
/// all threads have finished. `thread` (0-based) lets a share use its own scratch.
template <class Share>
void for_each_share(int threads, std::int64_t n, Share&& share) {
  if (threads < 1) threads = 1;
  std::exception_ptr first_error;
  std::mutex error_mutex;
  const std::int64_t base = n / threads;
  const std::int64_t extra = n % threads;
  const auto one_share = [&](int t) {
    const std::int64_t begin = t * base + (t < extra ? t : extra);
    const std::int64_t end = begin + base + (t < extra ? 1 : 0);
    try {
      share(t, begin, end);
    } catch (...) {
      std::lock_guard<std::mutex> lock(error_mutex);
      if (!first_error) first_error = std::current_exception();
    }
  };
  if (threads == 1) {
    one_share(0);
  } else {
    run_on_threads(threads, one_share);
  }
  if (first_error) std::rethrow_exception(first_error);
}

/// Runs `start(thread)` once on each of `threads` threads, then `item(thread, i)` for every
/// i in [0, n): each thread takes the next i that no thread has taken yet, so a thread
/// whose items run quick takes more of them and uneven items balance out. Which thread runs
/// an item varies from run to run: an item writes only its own results and its thread's
/// scratch. On one thread, the items run in ascending order. An exception ends the thread
/// that threw it; once all have finished, the one thrown by `start` or else by the lowest
/// item is rethrown here, so that the error reported does not depend on the timing.
template <class Start, class Item>
void for_each_taken(int threads, std::int64_t n, Start&& start, Item&& item) {
  if (threads < 1) threads = 1;
  std::atomic<std::int64_t> next{0};
  std::exception_ptr first_error;
  std::int64_t first_error_at = INT64_MAX;
  std::mutex error_mutex;
  const auto keep = [&](std::int64_t at) {
    std::lock_guard<std::mutex> lock(error_mutex);
    if (at < first_error_at) {
      first_error_at = at;
      first_error = std::current_exception();
    }
  };
  const auto one_thread = [&](int t) {
    try {
      start(t);
    } catch (...) {
      keep(-1);
      return;
    }
    for (;;) {
      const std::int64_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) return;
      try {
        item(t, i);
      } catch (...) {
        keep(i);
        return;
      }
    }
  };
  if (threads == 1) {
    one_thread(0);
  } else {
    run_on_threads(threads, one_thread);
  }
  if (first_error) std::rethrow_exception(first_error);
}

}  // namespace vandrel
