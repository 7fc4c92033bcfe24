#include "update/async_updater.h"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <chrono>

#include "support/test_support.h"
#include "update/recording_watcher.h"

namespace upd::testing {
namespace {

// Attempts without zones deliver empty results, one handler each, in order;
// the worker is joined when destroyed.
TEST(AsyncUpdaterTest, EachAttemptPostsExactlyOneHandlerInOrder) {
  temp_dir_t dir;
  boost::asio::io_context controller;
  recording_watcher_t watcher;
  progress_t progress{controller, &watcher};
  nb::UpdateConfig config;
  config.set_update_dir(dir.path().string());
  std::vector<int> attempts;
  captured_log_t log;
  {
    async_updater_t updater(controller, &progress, &config);
    for (int attempt : {1, 2})
      updater.update_files([&, attempt](std::vector<zone_item_t> items, path_set_t to_remove, path_set_t up_to_date,
                                        zone_serials_t) {
        EXPECT_TRUE(items.empty() && to_remove.empty() && up_to_date.empty());
        attempts.push_back(attempt);
      });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (attempts.size() < 2 && std::chrono::steady_clock::now() < deadline) controller.run_one_until(deadline);
    controller.poll();
  }
  EXPECT_EQ(attempts, (std::vector<int>{1, 2}));
  EXPECT_EQ(watcher.downloads.back().files_to_process(), 0u);
  EXPECT_TRUE(log.has("Debug: Shutting down worker thread...")) << log.all();
  boost::asio::post(controller, [] { async_updater_t::on_update_error(nb::EC_BAD_CHECKSUM); });
  EXPECT_THROW(controller.poll(), nb::ErrorCode);
}

}  // namespace
}  // namespace upd::testing
