#include "core/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace vandrel {
namespace {

TEST(for_each_share, EveryItemOnceAcrossThreadCountsNestingAndErrors) {
  // The same caller's workers serve runs of every size, one after another.
  for (const int threads : {3, 1, 4, 2, 4}) {
    std::vector<int> seen(1000, 0);
    std::vector<int> by_thread(static_cast<std::size_t>(threads), 0);
    for_each_share(threads, 1000, [&](int t, std::int64_t begin, std::int64_t end) {
      for (std::int64_t i = begin; i < end; ++i) ++seen[static_cast<std::size_t>(i)];
      by_thread[static_cast<std::size_t>(t)] = static_cast<int>(end - begin);
      // A run inside a share runs on this thread, in turn.
      std::atomic<int> inner{0};
      for_each_share(3, 30, [&](int, std::int64_t b, std::int64_t e) { inner += static_cast<int>(e - b); });
      EXPECT_EQ(inner.load(), 30);
    });
    EXPECT_EQ(seen, std::vector<int>(1000, 1));
    for (const int count : by_thread) EXPECT_GE(count, 1000 / threads);
  }
  // An error on a worker reaches the caller once every share has finished.
  std::atomic<int> finished{0};
  EXPECT_THROW(for_each_share(4, 4, [&](int t, std::int64_t, std::int64_t) {
                 if (t == 2) throw std::runtime_error("share 2");
                 ++finished;
               }),
               std::runtime_error);
  EXPECT_EQ(finished.load(), 3);
}

}  // namespace
}  // namespace vandrel
