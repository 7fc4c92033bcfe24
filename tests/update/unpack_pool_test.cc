#include "update/unpack_pool.h"

#include <gtest/gtest.h>

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
    pool.submit(1, [released] { released.wait(); });
    pool.submit(2, [] { throw std::runtime_error("bad data"); });
    auto third = std::async(std::launch::async, [&] { pool.submit(3, [] {}); });
    EXPECT_EQ(third.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    release.set_value();
    third.get();
    std::map<std::size_t, bool> failed;
    while (failed.size() < 3)
      for (const auto& result : pool.take_results(true)) failed[result.id] = result.error != nullptr;
    EXPECT_EQ(failed, (std::map<std::size_t, bool>{{1, false}, {2, true}, {3, false}}));
    EXPECT_FALSE(pool.busy());
    pool.submit(4, [] {
      for (;;) {
        boost::this_thread::interruption_point();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    // Leaving the scope must not wait for it forever.
  }
}

}  // namespace
}  // namespace upd
