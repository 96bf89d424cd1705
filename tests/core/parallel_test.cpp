#include "core/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
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

TEST(for_each_taken, EveryItemOnceAfterEachStartAndTheLowestItemsErrorWins) {
  for (const int threads : {1, 2, 4}) {
    SCOPED_TRACE(threads);
    std::vector<int> seen(500, 0);
    std::vector<int> started(static_cast<std::size_t>(threads), 0);
    std::atomic<int> items_before_a_start{0};
    for_each_taken(
        threads, 500, [&](int t) { ++started[static_cast<std::size_t>(t)]; },
        [&](int t, std::int64_t i) {
          if (started[static_cast<std::size_t>(t)] != 1) ++items_before_a_start;
          ++seen[static_cast<std::size_t>(i)];
        });
    EXPECT_EQ(seen, std::vector<int>(500, 1));
    EXPECT_EQ(started, std::vector<int>(static_cast<std::size_t>(threads), 1));
    EXPECT_EQ(items_before_a_start.load(), 0);
    // Items 40 and 7 both fail, 7 the later (it takes a while): 7's error is the one.
    try {
      for_each_taken(threads, 100, [](int) {}, [](int, std::int64_t i) {
        if (i == 7) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (i == 40 || i == 7) throw std::runtime_error("item " + std::to_string(i));
      });
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "item 7");
    }
  }
}

}  // namespace
}  // namespace vandrel
