#include "update/unpack_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <stdexcept>
#include <thread>

namespace upd {
namespace {

// With one thread, one job running and one waiting, a third submit waits
// for room; every job's outcome comes back under its id; and a job that
// never ends on its own is stopped when the pool goes.
TEST(UnpackPool, BoundsItsQueueReportsEveryJobAndStopsRunningOnes) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  {
    unpack_pool_t pool(1);
    pool.submit(1, 0, [released] { released.wait(); });
    pool.submit(2, 0, [] { throw std::runtime_error("bad data"); });
    auto third = std::async(std::launch::async, [&] { pool.submit(3, 0, [] {}); });
    EXPECT_EQ(third.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    release.set_value();
    third.get();
    std::map<std::size_t, bool> failed;
    while (failed.size() < 3)
      for (const auto& result : pool.take_results(true)) failed[result.id] = result.error != nullptr;
    EXPECT_EQ(failed, (std::map<std::size_t, bool>{{1, false}, {2, true}, {3, false}}));
    EXPECT_FALSE(pool.busy());
    pool.submit(4, 0, [] {
      for (;;) {
        boost::this_thread::interruption_point();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    // Leaving the scope must not wait for it forever.
  }
}

// Two dictionaries that do not fit the budget together: the second job
// waits for the first, though a thread is free.
TEST(UnpackPool, StartsAJobOnlyWhenItsDictionaryFitsBesideTheRunningOnes) {
  std::promise<void> release;
  std::atomic<bool> first_started{false}, second_ran{false};
  unpack_pool_t pool(2);
  const std::uint64_t large = unpack_pool_t::dictionary_budget / 2 + 1;
  pool.submit(1, large, [&, released = release.get_future().share()] { first_started = true, released.wait(); });
  pool.submit(2, large, [&] { second_ran = true; });
  while (!first_started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(second_ran);
  release.set_value();
  for (std::size_t taken = 0; taken < 2;) taken += pool.take_results(true).size();
}

}  // namespace
}  // namespace upd
